// The stub program: applies the patch appended to its own file. It needs no
// window toolkit: its boxes are zenity's or kdialog's, or the terminal's
// (stubui_desktop.h); TARROWIN_UI_SCRIPT and TARROWIN_UI_LOG answer and record
// them from files instead, as for the other programs.

#include "stubrun.h"
#include "stubui_desktop.h"

#include "platform/paths.h"

#include <cstdlib>

namespace
{
    std::string env(const char* name)
    {
        const char* value = std::getenv(name);
        return value ? value : "";
    }
} // namespace

int main()
{
    const std::string script = env("TARROWIN_UI_SCRIPT");
    const std::string log = env("TARROWIN_UI_LOG");
    if (!script.empty() || !log.empty())
    {
        Stub::ScriptUi ui(script, log);
        return Stub::Run(Platform::Paths::executablePath(), ui);
    }
    Stub::DesktopUi ui;
    return Stub::Run(Platform::Paths::executablePath(), ui);
}
