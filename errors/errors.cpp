#include "errors.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>
#include <utility>

EInOutError::EInOutError(int errnoValue)
    : ELGPError(lgp::InOutErrorText(errnoValue))
    , ErrorCode(errnoValue)
{
}

EFileError::EFileError(const std::string& message, int errnoValue)
    : ELGPError(message)
    , ErrorCode(errnoValue)
{
}

namespace
{
    const std::string NothingChanged = " Nothing was changed.";

    std::string HeadlineAndDetail(const std::string& headline, const std::string& detail)
    {
        return detail.empty() ? headline : headline + "\n" + detail;
    }
} // namespace

EWriteError::EWriteError(std::string headline, std::string detail, int errnoValue)
    : ELGPError(HeadlineAndDetail(headline, detail))
    , Headline(std::move(headline))
    , Detail(std::move(detail))
    , ErrorCode(errnoValue)
{
}

EWriteError EWriteError::Unchanged() const
{
    const bool said = Detail.size() >= NothingChanged.size() && Detail.ends_with(NothingChanged);
    return EWriteError(Headline, Detail.empty() || said ? Detail : Detail + NothingChanged, ErrorCode);
}

EMissingTemplate::EMissingTemplate(std::string path)
    : ELGPError("Couldn't find an appropriate file validation data. Perhaps you are trying to make an LGP with an "
                "unsupported number of files in it.")
    , Path(std::move(path))
{
}

namespace lgp
{
    std::string UserText(const std::exception& failure)
    {
        if (dynamic_cast<const ELGPError*>(&failure))
            return failure.what();
        if (dynamic_cast<const std::bad_alloc*>(&failure))
            return "There is not enough memory for this operation.";
        if (const auto* fileSystem = dynamic_cast<const std::filesystem::filesystem_error*>(&failure))
        {
            std::string text = fileSystem->code().message();
            if (!fileSystem->path1().empty())
                text = fileSystem->path1().string() + ": " + text;
            return text + ".";
        }
        if (const auto* system = dynamic_cast<const std::system_error*>(&failure))
            return system->code().message() + ".";
        const char* kind = dynamic_cast<const std::length_error*>(&failure)   ? "a size out of range"
                           : dynamic_cast<const std::out_of_range*>(&failure) ? "a position out of range"
                           : dynamic_cast<const std::logic_error*>(&failure)  ? "a broken assumption"
                                                                              : "an unexpected failure";
        return std::string("The operation stopped at an internal error (") + kind + ").";
    }

    std::string OneLineText(const std::exception& failure)
    {
        if (const auto* write = dynamic_cast<const EWriteError*>(&failure); write && !write->Detail.empty())
            return write->Headline + ": " + write->Detail;
        return UserText(failure);
    }

    void Fail(const std::string& message) { throw ELGPError(message); }
    void FailRead() { throw ELGPError("Stream read error"); }
    void FailWrite() { throw EWriteError("Stream write error", std::string(), 0); }

    std::string WriteFailureReason(int errnoValue)
    {
        switch (errnoValue)
        {
        case 0: return "the system gave no reason";
        case ENOSPC:
#ifdef EDQUOT
        case EDQUOT:
#endif
            return "the disk is full";
        default: return std::strerror(errnoValue);
        }
    }

    void FailWriting(const std::string& file, int errnoValue, bool unchanged)
    {
        if (file.empty())
            throw EWriteError("Stream write error", std::string(), errnoValue);
        throw EWriteError("Stream write error",
                          "Cannot write " + file + ": " + WriteFailureReason(errnoValue) + "."
                              + (unchanged ? NothingChanged : std::string()),
                          errnoValue);
    }

    void FailReplacing(const std::string& headline, const std::string& file, int errnoValue, bool stickyFolder,
                       bool unchanged)
    {
        std::string reason = WriteFailureReason(errnoValue);
        if (stickyFolder && (errnoValue == EPERM || errnoValue == EACCES))
            reason += " (its folder has the sticky bit: only a file's owner may replace the file there)";
        throw EWriteError(headline,
                          "The new version of " + file + " could not take its place: " + reason + "."
                              + (unchanged ? NothingChanged : std::string()),
                          errnoValue);
    }

    void RethrowUnchanged()
    {
        try
        {
            throw;
        }
        catch (const EWriteError& e)
        {
            throw e.Unchanged();
        }
    }
    void FailListIndex(std::int64_t index)
    {
        throw ELGPError("List index out of bounds (" + std::to_string(index) + ")");
    }
    void FailOpen(const std::string& path) { throw EFileError("Cannot open file " + path, errno); }
    void FailCreate(const std::string& path) { throw EFileError("Cannot create file " + path, errno); }

    void FailCreateNew(const std::string& path, bool unchanged)
    {
        const int error = errno;
#ifdef EDQUOT
        const bool full = error == ENOSPC || error == EDQUOT;
#else
        const bool full = error == ENOSPC;
#endif
        if (!full)
            throw EFileError("Cannot create file " + path, error);
        throw EWriteError("Cannot create file " + path,
                          std::string("The disk is full.") + (unchanged ? NothingChanged : std::string()), error);
    }
    void FailInOut(int errnoValue) { throw EInOutError(errnoValue); }

    std::string InOutErrorText(int errnoValue)
    {
        switch (errnoValue)
        {
        case ENOENT: return "File not found";
        case ENOTDIR:
        case ENAMETOOLONG:
        case EINVAL:
        case ELOOP: return "Invalid filename";
        case EMFILE:
        case ENFILE: return "Too many open files";
        case EACCES:
        case EPERM:
        case EROFS: return "File access denied";
        default: return "I/O error " + std::to_string(errnoValue);
        }
    }

    bool TryStrToInt(const std::string& text, std::int32_t& value)
    {
        std::size_t i = 0;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        bool negative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        {
            negative = text[i] == '-';
            ++i;
        }
        int base = 10;
        if (i < text.size() && text[i] == '$')
        {
            base = 16;
            ++i;
        }
        else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X'))
        {
            base = 16;
            i += 2;
        }
        if (i >= text.size())
            return false;
        std::int64_t result = 0;
        for (; i < text.size(); ++i)
        {
            const char c = text[i];
            int digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (base == 16 && c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (base == 16 && c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                return false;
            result = result * base + digit;
            // Hexadecimal may fill all 32 bits (0xFFFFFFFF reads as -1); decimal may not.
            const std::int64_t limit = base == 16 ? std::int64_t(UINT32_MAX) : std::int64_t(INT32_MAX) + 1;
            if (result > limit)
                return false;
        }
        if (negative)
            result = -result;
        if (base == 10 && (result > INT32_MAX || result < INT32_MIN))
            return false;
        value = static_cast<std::int32_t>(static_cast<std::uint32_t>(result));
        return true;
    }

    std::int32_t StrToInt(const std::string& text)
    {
        std::int32_t value = 0;
        if (!TryStrToInt(text, value))
            throw ELGPError("'" + text + "' is not a valid integer value");
        return value;
    }
}
