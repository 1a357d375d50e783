#pragma once
// Settings files in the classic private-profile form: named sections of
// key=value lines, read and written one key at a time.
//
// Reading never fails: a missing file, section or key, or a value that isn't
// what was asked for, gives the caller's default. Writing one key rewrites the
// whole file atomically (a temporary file beside it, then a rename), keeps
// every other section, key, comment and blank line as it was, replaces the
// key's first occurrence in place, appends a new key at the end of its section
// (so new keys stay in write order) and appends a missing section at the end
// of the file. Section and key names match ASCII case-insensitively.
//
// Standard library only. Thread safety: none; one writer per file.

#include <cstdint>
#include <string>

namespace Platform::Ini
{
    // The value of key in section, blanks around it removed and one pair of
    // matching surrounding quotes ("..." or '...') stripped; fallback when the
    // file, the section or the key is missing.
    std::string ReadString(const std::string& file, const std::string& section, const std::string& key,
                           const std::string& fallback);

    // An integer value: more than two characters starting with "0x" or "0X" are
    // read as hexadecimal (up to 32 bits), anything else with the runtime's
    // integer rules; fallback when the text is no integer.
    std::int32_t ReadInteger(const std::string& file, const std::string& section, const std::string& key,
                             std::int32_t fallback);

    // 0 is false, any other integer true; fallback when the value is no integer.
    bool ReadBool(const std::string& file, const std::string& section, const std::string& key, bool fallback);

    // Sets key in section to value (see above). Creates the file and its folder
    // when missing. Throws ELGPError "Unable to write to %s" (the file's path)
    // when the file can't be written; the file is then unchanged.
    void WriteString(const std::string& file, const std::string& section, const std::string& key,
                     const std::string& value);
    void WriteInteger(const std::string& file, const std::string& section, const std::string& key, std::int32_t value);
    // Written as "1" or "0".
    void WriteBool(const std::string& file, const std::string& section, const std::string& key, bool value);
}
