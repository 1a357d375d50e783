#include "ui.h"

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QSortFilterProxyModel>
#include <QTimer>

namespace Platform::Ui
{
    namespace
    {
        QString applicationTitle()
        {
            const QString name = QApplication::applicationDisplayName();
            return name.isEmpty() ? QStringLiteral("Quenwick's Tarrowin") : name;
        }

        // The folder dialog, with a "New Folder" button, and a typed name of a
        // folder that isn't there yet made on Choose (its parent must exist),
        // where the plain dialog would say "Directory not found".
        class TFolderChooser : public QFileDialog
        {
        public:
            TFolderChooser(QWidget* parent, const QString& title)
                : QFileDialog(parent, title)
            {
                setOption(QFileDialog::DontUseNativeDialog);
                setOption(QFileDialog::ShowDirsOnly);
                setFileMode(QFileDialog::Directory);
                setAcceptMode(QFileDialog::AcceptOpen);
            }

            void accept() override
            {
                const QStringList chosen = selectedFiles();
                if (!chosen.isEmpty())
                {
                    const QFileInfo folder(chosen.first());
                    if (!folder.exists() && QFileInfo(folder.absolutePath()).isDir())
                        QDir().mkdir(folder.absoluteFilePath());
                }
                QFileDialog::accept();
            }
        };

        // The default extension is added to a typed name without one, never
        // to a file that exists as typed (a self-extractor has no extension).
        // A save dialog's chosen filter of one extension ("PNG images (*.png)")
        // gives that extension instead of the default one.
        QString withDefaultExt(const QString& path, const FileDialogOptions& options, const QString& chosenFilter = {})
        {
            QString ext = options.defaultExt;
            const int open = chosenFilter.lastIndexOf('('), close = chosenFilter.lastIndexOf(')');
            const QString patterns =
                open >= 0 && close > open ? chosenFilter.mid(open + 1, close - open - 1) : QString();
            if (patterns.startsWith("*.") && !patterns.contains(' ') && patterns.count(QLatin1Char('*')) == 1
                && !patterns.contains('?'))
                ext = patterns.mid(2);
            if (ext.isEmpty() || !QFileInfo(path).suffix().isEmpty() || QFileInfo::exists(path))
                return path;
            return path + "." + ext.toLower();
        }

        // Lists folders and the files whose name is exactly the given one.
        class ExactNameProxy : public QSortFilterProxyModel
        {
        public:
            ExactNameProxy(QString name, QObject* parent)
                : QSortFilterProxyModel(parent)
                , mName(std::move(name))
            {
            }

        protected:
            bool filterAcceptsRow(int row, const QModelIndex& parent) const override
            {
                const auto* model = qobject_cast<const QFileSystemModel*>(sourceModel());
                if (!model)
                    return true;
                const QModelIndex index = model->index(row, 0, parent);
                return model->isDir(index) || model->fileName(index).compare(mName, Qt::CaseInsensitive) == 0;
            }

        private:
            QString mName;
        };

        class QtPrompter : public Prompter
        {
        public:
            void message(QWidget* parent, const QString& caption, const QString& text) override
            {
                QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, parent);
                box.exec();
            }

            bool question(QWidget* parent, const QString& caption, const QString& text) override
            {
                QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No, parent);
                box.setDefaultButton(QMessageBox::No);
                return box.exec() == QMessageBox::Yes;
            }

            void error(QWidget* parent, const QString& caption, const QString& text) override
            {
                QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, parent);
                box.exec();
            }

            std::optional<QString> openFile(QWidget* parent, const FileDialogOptions& options) override
            {
                QFileDialog dialog(parent, options.title.isEmpty() ? QStringLiteral("Open") : options.title);
                dialog.setAcceptMode(QFileDialog::AcceptOpen);
                dialog.setFileMode(options.mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
                return run(dialog, options);
            }

            std::optional<QString> saveFile(QWidget* parent, const FileDialogOptions& options) override
            {
                QFileDialog dialog(parent, options.title.isEmpty() ? QStringLiteral("Save As") : options.title);
                dialog.setAcceptMode(QFileDialog::AcceptSave);
                dialog.setFileMode(QFileDialog::AnyFile);
                const std::optional<QString> chosen = run(dialog, options);
                // The dialog asked about the name as typed; an extension added
                // since may name another file that exists.
                if (chosen && !dialog.selectedFiles().contains(*chosen) && QFileInfo::exists(*chosen)
                    && !question(parent, dialog.windowTitle(),
                                 QStringLiteral("%1 already exists.\nDo you want to replace it?")
                                     .arg(QFileInfo(*chosen).fileName())))
                    return std::nullopt;
                return chosen;
            }

            std::optional<QString> chooseFolder(QWidget* parent, const QString& title) override
            {
                TFolderChooser dialog(parent, title);
                if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
                    return std::nullopt;
                return dialog.selectedFiles().first();
            }

        private:
            static std::optional<QString> run(QFileDialog& dialog, const FileDialogOptions& options)
            {
                configureFileDialog(dialog, options);
                if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
                    return std::nullopt;
                const bool saving = dialog.acceptMode() == QFileDialog::AcceptSave;
                return withDefaultExt(dialog.selectedFiles().first(), options,
                                      saving ? dialog.selectedNameFilter() : QString());
            }
        };

        QtPrompter gQtPrompter;

        // The next queued answer; Cancel when none is left.
        std::optional<QString> takeAnswer(std::deque<std::optional<QString>>& queue)
        {
            if (queue.empty())
                return std::nullopt;
            QString path = queue.front().value_or(QString());
            const bool cancelled = !queue.front().has_value();
            queue.pop_front();
            if (cancelled)
                return std::nullopt;
            return std::optional<QString>(std::in_place, std::move(path));
        }
        Prompter* gPrompter = nullptr;
    } // namespace

    Prompter& prompter() { return gPrompter ? *gPrompter : gQtPrompter; }
    void setPrompter(Prompter* p) { gPrompter = p; }

    QString qtFilter(const QString& pipeFilter)
    {
        const QStringList parts = pipeFilter.split('|');
        QStringList filters;
        for (int i = 0; i + 1 < parts.size(); i += 2)
        {
            // "*.*" means every file; Qt would list only names with a dot.
            QStringList patterns = parts[i + 1].split(';', Qt::SkipEmptyParts);
            for (QString& pattern : patterns)
                if (pattern == QLatin1String("*.*"))
                    pattern = QStringLiteral("*");
            filters << QStringLiteral("%1 (%2)").arg(parts[i], patterns.join(' '));
        }
        return filters.join(";;");
    }

    void configureFileDialog(QFileDialog& dialog, const FileDialogOptions& options)
    {
        if (options.exactName)
        {
            // Qt splits patterns at blanks, reads "*?[]" as wildcards and
            // takes only some characters in a pattern, so the pattern only
            // narrows the listing (any other character becomes "*") and a
            // proxy keeps exactly the name. The dialog shows the description.
            const int bar = options.filter.indexOf('|');
            const QString name = options.filter.mid(bar + 1);
            QString pattern = name;
            for (QChar& c : pattern)
                if (!(c.isLetterOrNumber() && c.unicode() < 0x80) && c != '.' && c != '_' && c != '-')
                    c = '*';
            dialog.setOption(QFileDialog::DontUseNativeDialog);
            dialog.setOption(QFileDialog::HideNameFilterDetails);
            dialog.setNameFilter(QStringLiteral("%1 (%2)").arg(options.filter.left(bar), pattern));
            dialog.setProxyModel(new ExactNameProxy(name, &dialog));
        }
        else
        {
            dialog.setNameFilter(qtFilter(options.filter));
        }
        // No default suffix for the dialog itself: it would add one to the
        // name of an existing file without extension and then not find it.
        // withDefaultExt adds it where it belongs.
        dialog.setDirectory(options.directory.isEmpty() ? QDir::currentPath() : options.directory);
        if (!options.fileName.isEmpty())
            dialog.selectFile(options.fileName);
    }

    QString errorBoxText(const QString& message)
    {
        if (!message.isEmpty() && message.back() > QChar('.'))
            return message + ".";
        return message;
    }

    void showError(QWidget* parent, const QString& message)
    {
        prompter().error(parent, applicationTitle(), errorBoxText(message));
    }

    namespace
    {
        QStringList gNotes;
    } // namespace

    void showNoteLater(const QString& text)
    {
        if (gNotes.isEmpty())
            QTimer::singleShot(0, qApp, [] {
                const QString notes = gNotes.join('\n');
                gNotes.clear();
                prompter().message(QApplication::activeWindow(), applicationTitle(), notes);
            });
        gNotes.append(text);
    }

    void centreOnScreen(QWidget& window)
    {
        const QWidget* parent = window.parentWidget() ? window.parentWidget()->window() : nullptr;
        const QScreen* screen = parent && parent->screen() ? parent->screen() : window.screen();
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        if (!screen)
            return;
        const QSize outer = window.frameGeometry().size();
        window.move(screen->availableGeometry().center() - QPoint(outer.width() / 2, outer.height() / 2));
    }

    namespace
    {
        class CentreWhenShown : public QObject
        {
        public:
            using QObject::QObject;

        protected:
            bool eventFilter(QObject* watched, QEvent* event) override
            {
                if (event->type() == QEvent::Show && watched == parent())
                    centreOnScreen(*static_cast<QWidget*>(watched));
                return false;
            }
        };
    } // namespace

    void centreOnScreenWhenShown(QWidget& window) { window.installEventFilter(new CentreWhenShown(&window)); }

    void ScriptedPrompter::message(QWidget*, const QString& caption, const QString& text)
    {
        shown.push_back({Kind::Message, caption, text, {}});
    }

    bool ScriptedPrompter::question(QWidget*, const QString& caption, const QString& text)
    {
        shown.push_back({Kind::Question, caption, text, {}});
        if (questionAnswers.empty())
            return false;
        const bool answer = questionAnswers.front();
        questionAnswers.pop_front();
        return answer;
    }

    void ScriptedPrompter::error(QWidget*, const QString& caption, const QString& text)
    {
        shown.push_back({Kind::Error, caption, text, {}});
    }

    std::optional<QString> ScriptedPrompter::openFile(QWidget*, const FileDialogOptions& options)
    {
        shown.push_back({Kind::OpenFile, options.title, options.filter, options});
        return takeAnswer(fileAnswers);
    }

    std::optional<QString> ScriptedPrompter::saveFile(QWidget*, const FileDialogOptions& options)
    {
        shown.push_back({Kind::SaveFile, options.title, options.filter, options});
        return takeAnswer(fileAnswers);
    }

    std::optional<QString> ScriptedPrompter::chooseFolder(QWidget*, const QString& title)
    {
        shown.push_back({Kind::Folder, title, {}, {}});
        return takeAnswer(folderAnswers);
    }

    QStringList ScriptedPrompter::texts(Kind kind) const
    {
        QStringList result;
        for (const Shown& s : shown)
            if (s.kind == kind)
                result << s.text;
        return result;
    }
}
