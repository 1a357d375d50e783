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

// A write or rename that failed. what() is the byte layer's text (Headline:
// "Stream write error", "Cannot create file %s", "Cannot open file %s") and,
// on a second line, Detail: which file could not be written and why ("Cannot
// write /x/a.lgp: the disk is full."), ending in "Nothing was changed." where
// the failure left every file as it was. Without a detail (memory, or a file
// the layer can't name) what() is the headline alone. ErrorCode is the errno
// value of the failing call (0 when none).
class EWriteError : public ELGPError
{
public:
    EWriteError(std::string headline, std::string detail, int errnoValue);
    std::string Headline;
    std::string Detail;
    int ErrorCode;

    // The same failure, said to have left everything as it was: the detail
    // gains " Nothing was changed." (once; not without a detail).
    EWriteError Unchanged() const;
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
    // UserText on one line, for a terminal: the two lines of an EWriteError
    // joined by ": ".
    std::string OneLineText(const std::exception& failure);

    [[noreturn]] void Fail(const std::string& message);
    [[noreturn]] void FailRead();  // "Stream read error"
    [[noreturn]] void FailWrite(); // "Stream write error"
    // "Stream write error", then "Cannot write FILE: REASON." (the disk is
    // full, or the system's reason for errnoValue) and, when unchanged,
    // " Nothing was changed." An empty file gives the headline alone.
    [[noreturn]] void FailWriting(const std::string& file, int errnoValue, bool unchanged);
    // A new version of file that could not take file's place (the final
    // rename of a safe rewrite): headline, then "The new version of FILE
    // could not take its place: REASON." and, when unchanged, " Nothing was
    // changed." (the new file is deleted by whoever made it). In a folder
    // with the sticky bit the reason says that only a file's owner may
    // replace it there.
    [[noreturn]] void FailReplacing(const std::string& headline, const std::string& file, int errnoValue,
                                    bool stickyFolder, bool unchanged = true);
    // Why a write failed, for a message: "the disk is full" for a full disk
    // or an exhausted quota, else the system's text for errnoValue ("the
    // system gave no reason" for 0).
    std::string WriteFailureReason(int errnoValue);
    // Inside a catch block: rethrows the failure being handled, an
    // EWriteError as Unchanged(); for handlers that put every file back.
    [[noreturn]] void RethrowUnchanged();
    [[noreturn]] void FailListIndex(std::int64_t index);   // "List index out of bounds (%d)"
    [[noreturn]] void FailOpen(const std::string& path);   // "Cannot open file %s"
    [[noreturn]] void FailCreate(const std::string& path); // "Cannot create file %s"
    // FailCreate for a new file whose making failed with errno: on a full
    // disk (or an exhausted quota) a write failure, "Cannot create file %s"
    // then "The disk is full." and, when unchanged, " Nothing was changed.".
    [[noreturn]] void FailCreateNew(const std::string& path, bool unchanged);
    [[noreturn]] void FailInOut(int errnoValue); // EInOutError

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
