#include "stubui_qt.h"

#include "platform/ui.h"

namespace Stub
{
    namespace
    {
        QString q(const std::string& text) { return QString::fromStdString(text); }
    } // namespace

    void PrompterUi::message(const std::string& caption, const std::string& text)
    {
        Platform::Ui::prompter().message(nullptr, q(caption), q(text));
    }

    void PrompterUi::error(const std::string& caption, const std::string& text)
    {
        Platform::Ui::prompter().error(nullptr, q(caption), q(text));
    }

    std::optional<std::string> PrompterUi::openFile(const OpenRequest& request)
    {
        Platform::Ui::FileDialogOptions options;
        options.filter = q(request.filterName) + "|" + q(request.filterPattern);
        options.exactName = request.exactName;
        options.defaultExt = q(request.defaultExt);
        options.mustExist = request.mustExist;
        options.directory = q(request.initialFolder);
        const std::optional<QString> chosen = Platform::Ui::prompter().openFile(nullptr, options);
        if (!chosen)
            return std::nullopt;
        return chosen->toStdString();
    }
} // namespace Stub
