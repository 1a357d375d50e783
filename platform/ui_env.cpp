#include "ui_env.h"

#include "ui.h"

#include <QFile>
#include <QTextStream>

#include <cstdlib>
#include <deque>

namespace Platform::Ui
{
    namespace
    {
        class EnvironmentPrompter : public Prompter
        {
        public:
            EnvironmentPrompter(const QString& scriptPath, const QString& logPath)
                : mLogPath(logPath)
            {
                if (scriptPath.isEmpty())
                    return;
                QFile script(scriptPath);
                if (!script.open(QIODevice::ReadOnly | QIODevice::Text))
                    return;
                QTextStream in(&script);
                while (!in.atEnd())
                    mAnswers.push_back(in.readLine());
            }

            void message(QWidget*, const QString& caption, const QString& text) override
            {
                log({"message", caption, text});
            }

            bool question(QWidget*, const QString& caption, const QString& text) override
            {
                log({"question", caption, text});
                const QString answer = take();
                return answer.compare("yes", Qt::CaseInsensitive) == 0;
            }

            void error(QWidget*, const QString& caption, const QString& text) override
            {
                log({"error", caption, text});
            }

            std::optional<QString> openFile(QWidget*, const FileDialogOptions& options) override
            {
                log({"open", options.title, options.filter});
                return path();
            }

            std::optional<QString> saveFile(QWidget*, const FileDialogOptions& options) override
            {
                log({"save", options.title, options.filter});
                return path();
            }

            std::optional<QString> chooseFolder(QWidget*, const QString& title) override
            {
                log({"folder", title});
                return path();
            }

        private:
            QString take()
            {
                if (mAnswers.empty())
                    return {};
                QString answer = mAnswers.front();
                mAnswers.pop_front();
                return answer;
            }

            // A dialog answer: a path, or nothing for "cancel" and for an
            // exhausted script (a forgotten answer must not pick a file).
            std::optional<QString> path()
            {
                const QString answer = take();
                if (answer.isEmpty() || answer == "cancel")
                    return std::nullopt;
                return answer;
            }

            // Lines are appended and flushed at once: the process may end (or
            // crash) right after the box it logged.
            void log(const QStringList& fields)
            {
                if (mLogPath.isEmpty())
                    return;
                QFile file(mLogPath);
                if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
                    return;
                QString line = fields.join('|');
                line.replace('\n', ' ');
                file.write(line.toUtf8() + '\n');
            }

            QString mLogPath;
            std::deque<QString> mAnswers;
        };

        QString env(const char* name)
        {
            const char* value = std::getenv(name);
            return value ? QString::fromLocal8Bit(value) : QString();
        }
    }

    bool installPrompterFromEnvironment()
    {
        const QString script = env("TARROWIN_UI_SCRIPT");
        const QString logPath = env("TARROWIN_UI_LOG");
        if (script.isEmpty() && logPath.isEmpty())
            return false;
        static EnvironmentPrompter instance(script, logPath);
        setPrompter(&instance);
        return true;
    }
}
