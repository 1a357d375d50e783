// The program's entry: the application and its title, the main window (whose
// creation finds the game's data folder and applies the settings), the archive
// named on the command line, the event loop, and the shut-down that saves the settings.

#include "application.h"
#include "lgpviewer.h"

#include "platform/ui_env.h"

#include <cstdio>
#include <cstring>

namespace
{
    constexpr const char* Usage =
        "Usage: tarrowin [ARCHIVE]\n"
        "Opens the main window, with ARCHIVE (an LGP archive of Final Fantasy VII) open when one is given.\n"
        "\n"
        "Options:\n"
        "  -h, --help     print this help and exit\n"
        "  -V, --version  print the program's name and version and exit\n"
        "\n"
        "The command-line tool tarrowin-cli does the same work without a window.\n"
        "Exit status: 0 when the window was closed normally, 1 otherwise.\n";

    // --help and --version are answered before any window (or display) is needed.
    bool AnswersWithoutWindow(int argc, char** argv, int& status)
    {
        for (int i = 1; i < argc; ++i)
        {
            if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            {
                std::fputs(Usage, stdout);
                status = 0;
                return true;
            }
            if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0)
            {
                std::printf("tarrowin %s\n", TARROWIN_VERSION);
                status = 0;
                return true;
            }
            // For the build: the manual page, made from the same text.
            if (std::strcmp(argv[i], "--generate-man-page") == 0)
            {
                std::printf(".TH TARROWIN 1 \"\" \"tarrowin %s\" \"User Commands\"\n"
                            ".SH NAME\ntarrowin \\- the LGP archive tool of Final Fantasy VII, with its windows\n"
                            ".SH DESCRIPTION\n.nf\n",
                            TARROWIN_VERSION);
                for (const char* c = Usage; *c; ++c)
                {
                    if (*c == '-')
                        std::fputs("\\-", stdout);
                    else
                        std::fputc(*c, stdout);
                }
                std::printf(".fi\n.SH \"SEE ALSO\"\n.BR tarrowin\\-cli (1)\n");
                status = 0;
                return true;
            }
            if (std::strcmp(argv[i], "--") == 0)
                break;
        }
        return false;
    }
} // namespace

int main(int argc, char** argv)
{
    if (int status = 0; AnswersWithoutWindow(argc, argv, status))
        return status;
    TTarrowinApplication app(argc, argv);
    Tarrowin::InitApplication();
    Platform::Ui::installPrompterFromEnvironment(); // automation only: answers boxes from a script
    TfrmLGPEditor window;
    window.show();
    window.OpenFromArguments(QCoreApplication::arguments());
    const int result = app.exec();
    window.FormDestroy();
    return result;
}
