#pragma once
// The one conversion between the programs' byte strings and Qt's text. Three
// kinds of bytes meet a window, each with its own rule:
//
// - Archive text: entry names and everything else an archive holds as text
//   (creator, description, trailing text, the lines of text entries). Each
//   byte is one character of the Windows-1252 code page, the five bytes that
//   code page leaves unassigned (0x81, 0x8D, 0x8F, 0x90, 0x9D) being the
//   control characters of the same number. Every byte string shows as exactly
//   one text and that text turns back into the same bytes, so a name shown in
//   one window is the name every other window shows and the name looked up.
// - File paths: the file system's own encoding (QFile::encodeName and
//   decodeName), so a path chosen in a dialog opens that very file.
// - Program text: messages of the core and the patch engine, settings values:
//   UTF-8.

#include <QString>

#include <optional>
#include <string>
#include <string_view>

namespace Platform::Text
{
    QString fromArchiveText(std::string_view bytes);
    // The bytes text shows, or nothing when a character of it has no byte in
    // the code page (no archive text shows as that text).
    std::optional<std::string> toArchiveText(const QString& text);

    QString fromPath(const std::string& path);
    std::string toPath(const QString& path);

    QString fromUtf8(std::string_view text);
    std::string toUtf8(const QString& text);
} // namespace Platform::Text
