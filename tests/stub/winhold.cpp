// Test helper for the Windows stub under Wine: holds FILE open the way the
// archive editor does (read and write, others may only read), or with
// "reader" the way a viewer might (read only, others may read and write but
// not delete or rename it), runs PROGRAM while holding it, and exits with
// PROGRAM's exit code (255 when FILE or PROGRAM can't be opened or started).
//   winhold.exe FILE PROGRAM [reader]

#include <windows.h>

#include <string>

int main(int argc, char** argv)
{
    if (argc != 3 && !(argc == 4 && std::string(argv[3]) == "reader"))
        return 255;
    const bool reader = argc == 4;
    const HANDLE held = ::CreateFileA(argv[1], reader ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE,
                                      reader ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 255;
    std::string command = std::string("\"") + argv[2] + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return 255;
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 255;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    ::CloseHandle(held);
    return int(code);
}
