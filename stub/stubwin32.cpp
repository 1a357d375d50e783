// The stub as a Windows program: message boxes and the common file-open
// dialog through Win32. The tests' build (TARROWIN_TEST_HOOKS, stubwin_test)
// answers from TARROWIN_UI_SCRIPT and TARROWIN_UI_LOG instead (paths in
// Windows form, e.g. "Z:\tmp\answers") when either is set; the program that
// ships has no such hook.

#include "stubrun.h"

#include "platform/paths.h"

#include "platform/win32text.h"

#include <windows.h>

#include <commdlg.h>

#include <vector>

namespace
{
    using Platform::Win32::utf8;
    using Platform::Win32::wide;

#ifdef TARROWIN_TEST_HOOKS
    std::string env(const wchar_t* name) { return Platform::Win32::environment(name); }
#endif

    class Win32Ui : public Stub::Ui
    {
    public:
        void message(const std::string& caption, const std::string& text) override
        {
            ::MessageBoxW(nullptr, wide(text).c_str(), wide(caption).c_str(), MB_OK);
        }

        void error(const std::string& caption, const std::string& text) override
        {
            ::MessageBoxW(nullptr, wide(text).c_str(), wide(caption).c_str(), MB_OK | MB_ICONSTOP);
        }

        std::optional<std::string> openFile(const Stub::OpenRequest& request) override
        {
            std::wstring pattern = wide(request.filterPattern);
            // The dialog separates patterns with ";" and nothing else, so an
            // exact name keeps its blanks; a ";" can't be written in a pattern
            // and matches any one character instead.
            if (request.exactName)
                for (wchar_t& c : pattern)
                    if (c == L';')
                        c = L'?';
            // Description, NUL, pattern, NUL, NUL.
            std::wstring filter = wide(request.filterName);
            filter += L'\0';
            filter += pattern;
            filter += L'\0';
            filter += L'\0';
            const std::wstring defaultExt = wide(request.defaultExt);
            const std::wstring folder = wide(request.initialFolder);

            // 512 characters, so at most 511 and the NUL; a longer choice makes
            // the dialog fail, which counts as a cancel.
            wchar_t buffer[512] = {};
            OPENFILENAMEW dialog{};
            dialog.lStructSize = sizeof dialog;
            dialog.hwndOwner = nullptr;
            dialog.lpstrFilter = filter.c_str();
            dialog.nFilterIndex = 1;
            dialog.lpstrFile = buffer;
            dialog.nMaxFile = 512;
            dialog.Flags = OFN_HIDEREADONLY | (request.mustExist ? OFN_FILEMUSTEXIST : 0);
            dialog.lpstrDefExt = defaultExt.empty() ? nullptr : defaultExt.c_str();
            // Given, rather than left to the current directory, which Windows
            // 7 and later pass over for a folder remembered from an earlier run.
            dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
            if (!::GetOpenFileNameW(&dialog))
                return std::nullopt;
            return utf8(buffer, wcslen(buffer));
        }
    };
} // namespace

int main()
{
#ifdef TARROWIN_TEST_HOOKS
    const std::string script = env(L"TARROWIN_UI_SCRIPT");
    const std::string log = env(L"TARROWIN_UI_LOG");
    if (!script.empty() || !log.empty())
    {
        Stub::ScriptUi ui(script, log);
        return Stub::Run(Platform::Paths::executablePath(), ui);
    }
#endif
    Win32Ui ui;
    return Stub::Run(Platform::Paths::executablePath(), ui);
}
