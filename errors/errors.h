#pragma once
// Failures of the archive core and the patch engine. Every failure is an
// ELGPError whose what() is the exact text the user reads; the windows show it
// unchanged (with the error box's full-stop rule) and the command-line tool
// prints it.

#include <cstdint>
#include <stdexcept>
#include <string>

class ELGPError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Input/output error of a folder operation (create, remove, change directory,
// delete). Code is the errno value it was made from.
class EInOutError : public ELGPError
{
public:
    explicit EInOutError(int errnoValue);
    int ErrorCode;
};

// A file that could not be opened or created ("Cannot open file %s", "Cannot
// create file %s"). ErrorCode is the errno value the system gave (0 when
// none), so a caller can add the reason to the text.
class EFileError : public ELGPError
{
public:
    EFileError(const std::string& message, int errnoValue);
    int ErrorCode;
};

// A validation template the operation needs could not be read (the patch
// engine's "LGP.95"). Nothing has been written. Path is the file looked for.
class EMissingTemplate : public ELGPError
{
public:
    explicit EMissingTemplate(std::string path);
    std::string Path;
};

namespace lgp
{
    // The text a user reads for any failure: an ELGPError's own text; for a
    // failure of the standard library (which says "std::bad_alloc" or
    // "basic_string::_M_create", nothing a user can act on) a plain sentence:
    // "There is not enough memory for this operation." for running out of
    // memory, the system's reason for a system or file-system error, and
    // "The operation stopped at an internal error (%s)." naming the kind of
    // failure otherwise.
    std::string UserText(const std::exception& failure);

    [[noreturn]] void Fail(const std::string& message);
    [[noreturn]] void FailRead();                          // "Stream read error"
    [[noreturn]] void FailWrite();                         // "Stream write error"
    [[noreturn]] void FailListIndex(std::int64_t index);   // "List index out of bounds (%d)"
    [[noreturn]] void FailOpen(const std::string& path);   // "Cannot open file %s"
    [[noreturn]] void FailCreate(const std::string& path); // "Cannot create file %s"
    [[noreturn]] void FailInOut(int errnoValue);           // EInOutError

    // The message of an input/output error: "File not found", "Invalid filename",
    // "Too many open files", "File access denied" or "I/O error %d".
    std::string InOutErrorText(int errnoValue);

    // Text to integer with the runtime's rules: leading blanks, optional sign,
    // decimal digits, or hexadecimal after "$" or "0x". Throws
    // "'%s' is not a valid integer value" when the text is no integer.
    std::int32_t StrToInt(const std::string& text);
    // The same rules without a throw: false when the text is no integer.
    bool TryStrToInt(const std::string& text, std::int32_t& value);
}
