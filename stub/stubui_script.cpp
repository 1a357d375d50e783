#include "stubui.h"

#include "platform/file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace Stub
{
    ScriptUi::ScriptUi(const std::string& scriptPath, std::string logPath)
        : mLogPath(std::move(logPath))
    {
        using namespace Platform::File;
        if (scriptPath.empty())
            return;
        const ScopedHandle file = open(scriptPath, Access::Read, Share::DenyNone);
        const std::int64_t length = file.valid() ? size(file) : -1;
        if (length <= 0)
            return;
        std::string text(static_cast<std::size_t>(length), '\0');
        if (!readAt(file, text.data(), text.size(), 0))
            return;
        std::size_t start = 0;
        while (start < text.size())
        {
            std::size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            std::string line = text.substr(start, end - start);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            mAnswers.push_back(std::move(line));
            start = end + 1;
        }
    }

    void ScriptUi::message(const std::string& caption, const std::string& text)
    {
        log("message|" + caption + "|" + text);
    }

    void ScriptUi::error(const std::string& caption, const std::string& text) { log("error|" + caption + "|" + text); }

    std::optional<std::string> ScriptUi::openFile(const OpenRequest& request)
    {
        log("open||" + request.filterName + "|" + request.filterPattern);
        if (mAnswers.empty())
            return std::nullopt;
        std::string answer = std::move(mAnswers.front());
        mAnswers.pop_front();
        // A forgotten answer must not pick a file.
        if (answer.empty() || answer == "cancel")
            return std::nullopt;
        if (answer.find_first_of("/\\:") == std::string::npos)
            return request.initialFolder + answer;
        return answer;
    }

    // Appended and closed at once: the process may end right after the box.
    void ScriptUi::log(const std::string& line)
    {
        using namespace Platform::File;
        if (mLogPath.empty())
            return;
        ScopedHandle file = open(mLogPath, Access::ReadWrite, Share::DenyNone);
        if (!file.valid())
            file = open(mLogPath, Access::Create, Share::DenyNone);
        const std::int64_t end = file.valid() ? size(file) : -1;
        if (end < 0)
        {
            // Said where the tests see it: a missing line is otherwise silent.
            std::fprintf(stderr, "Cannot write the answer log %s: %s\n", mLogPath.c_str(), std::strerror(errno));
            return;
        }
        std::string text = line;
        for (char& c : text)
            if (c == '\n')
                c = ' ';
        text += '\n';
        if (!writeAt(file, text.data(), text.size(), end))
            std::fprintf(stderr, "Cannot write the answer log %s: %s\n", mLogPath.c_str(), std::strerror(errno));
    }
} // namespace Stub
