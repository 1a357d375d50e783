#pragma once
// The Linux program's answers to Stub::Ui: the installed Qt prompter
// (Platform::Ui::prompter()), so tests answer it with a ScriptedPrompter and
// TARROWIN_UI_SCRIPT works as for the main program.

#include "stubui.h"

namespace Stub
{
    class PrompterUi : public Ui
    {
    public:
        void message(const std::string& caption, const std::string& text) override;
        void error(const std::string& caption, const std::string& text) override;
        std::optional<std::string> openFile(const OpenRequest& request) override;
    };
} // namespace Stub
