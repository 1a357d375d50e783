#pragma once
// UTF-8 <-> UTF-16 for the Win32 backend: our texts are UTF-8, the wide Win32
// calls take UTF-16. Windows only.

#include <windows.h>

#include <string>
#include <vector>

namespace Platform::Win32
{
    inline std::wstring wide(const std::string& text)
    {
        if (text.empty())
            return {};
        const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
        std::wstring out(std::size_t(n > 0 ? n : 0), L'\0');
        if (n > 0)
            ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n);
        return out;
    }

    inline std::string utf8(const wchar_t* text, std::size_t length)
    {
        if (length == 0)
            return {};
        const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, int(length), nullptr, 0, nullptr, nullptr);
        std::string out(std::size_t(n > 0 ? n : 0), '\0');
        if (n > 0)
            ::WideCharToMultiByte(CP_UTF8, 0, text, int(length), out.data(), n, nullptr, nullptr);
        return out;
    }

    inline std::string utf8(const std::wstring& text) { return utf8(text.data(), text.size()); }

    // A path for the wide file calls: as it is when short, else in the
    // "\\?\" form of its full path, which the calls take beyond the classic
    // 260-character limit whatever the system's long-path setting.
    inline std::wstring widePath(const std::string& path)
    {
        std::wstring name = wide(path);
        if (name.size() < MAX_PATH - 12 || name.rfind(L"\\\\?\\", 0) == 0)
            return name;
        const DWORD length = ::GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
        if (length == 0)
            return name;
        std::wstring full(length, L'\0');
        const DWORD written = ::GetFullPathNameW(name.c_str(), length, full.data(), nullptr);
        if (written == 0 || written >= length)
            return name;
        full.resize(written);
        if (full.rfind(L"\\\\", 0) == 0)
            return L"\\\\?\\UNC\\" + full.substr(2);
        return L"\\\\?\\" + full;
    }

    // An environment variable's value ("" when unset).
    inline std::string environment(const wchar_t* name)
    {
        std::vector<wchar_t> buffer(32768);
        const DWORD n = ::GetEnvironmentVariableW(name, buffer.data(), DWORD(buffer.size()));
        if (n == 0 || n >= buffer.size())
            return {};
        return utf8(buffer.data(), n);
    }
} // namespace Platform::Win32
