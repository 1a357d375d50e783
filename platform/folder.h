#pragma once
// Listing a folder's files for the archive builder.

#include <string>
#include <vector>

namespace Platform::Folder
{
    // The names of the folder's ordinary, visible files (what
    // Platform::File::isOrdinaryFile accepts), in the order the system lists
    // them. The listing's own file types are trusted, so a plain file costs no
    // stat; links and entries of unknown type are looked up. With exclude set,
    // that file (compared by identity, not by spelling) is left out. A folder
    // that can't be read fails with the input/output error of its errno.
    std::vector<std::string> ordinaryFileNames(const std::string& folder, const std::string& exclude = {});

    // One thing a folder holds. Hidden: a dot file (on Windows also a file
    // marked hidden or system). A link counts as what it leads to; a link
    // leading nowhere, a device or a pipe is Other.
    struct Item
    {
        enum class Kind
        {
            File,
            Folder,
            Other,
        };
        std::string Name;
        Kind Type = Kind::File;
        bool Hidden = false;
    };

    // Everything the folder holds but "." and "..", in the order the system
    // lists it; with exclude set, that file (compared by identity) is left out.
    // A folder that can't be read fails with the input/output error of its errno.
    std::vector<Item> items(const std::string& folder, const std::string& exclude = {});

    // The names of the folder's visible sub-folders (no dot folders), in name
    // order. Empty when the folder can't be read.
    std::vector<std::string> subfolderNames(const std::string& folder);

    // The current directory, ending in the system's separator; empty when
    // it can't be told.
    std::string current();

    // Makes the folder, or finds it already there; false (errno set) when
    // neither holds.
    bool make(const std::string& path);
} // namespace Platform::Folder
