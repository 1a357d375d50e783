#include "folder.h"

#include "errors/errors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Platform::Folder
{
    std::vector<Item> items(const std::string& folder, const std::string& exclude)
    {
        struct stat excluded
        {};
        const bool haveExcluded = !exclude.empty() && ::stat(exclude.c_str(), &excluded) == 0;
        std::string excludedName;
        if (haveExcluded)
        {
            const auto slash = exclude.find_last_of('/');
            excludedName = slash == std::string::npos ? exclude : exclude.substr(slash + 1);
        }
        const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
        if (!dir)
            lgp::FailInOut(errno);
        const int dirFd = ::dirfd(dir.get());
        struct stat folderStat
        {};
        if (haveExcluded && ::fstat(dirFd, &folderStat) != 0)
            lgp::FailInOut(errno);
        std::vector<Item> result;
        for (;;)
        {
            errno = 0;
            const dirent* entry = ::readdir(dir.get());
            if (!entry)
                break;
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            Item item{name, Item::Kind::Other, name[0] == '.'};
            dev_t device = folderStat.st_dev;
            ino_t inode = entry->d_ino;
            // The listing's own types are trusted, so a plain file or folder
            // costs no stat; a link counts as what it leads to (one leading
            // nowhere is Other), and an unknown type is looked up.
            if (entry->d_type == DT_REG)
                item.Type = Item::Kind::File;
            else if (entry->d_type == DT_DIR)
                item.Type = Item::Kind::Folder;
            else if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK)
            {
                struct stat st;
                if (::fstatat(dirFd, name, &st, 0) != 0)
                {
                    result.push_back(item);
                    continue;
                }
                item.Type = S_ISREG(st.st_mode)   ? Item::Kind::File
                            : S_ISDIR(st.st_mode) ? Item::Kind::Folder
                                                  : Item::Kind::Other;
                device = st.st_dev;
                inode = st.st_ino;
            }
            if (haveExcluded)
            {
                bool same = device == excluded.st_dev && inode == excluded.st_ino;
                // Some file systems list other inode numbers than stat gives:
                // a file of the excluded name is looked up to be sure.
                if (!same && excludedName == name)
                {
                    struct stat st;
                    same = ::fstatat(dirFd, name, &st, 0) == 0 && st.st_ino == excluded.st_ino
                           && st.st_dev == excluded.st_dev;
                }
                if (same)
                    continue;
            }
            result.push_back(std::move(item));
        }
        if (errno != 0)
            lgp::FailInOut(errno);
        return result;
    }

    std::vector<std::string> ordinaryFileNames(const std::string& folder, const std::string& exclude)
    {
        std::vector<std::string> names;
        for (Item& item : items(folder, exclude))
            if (item.Type == Item::Kind::File && !item.Hidden)
                names.push_back(std::move(item.Name));
        return names;
    }

    bool make(const std::string& path)
    {
        if (::mkdir(path.c_str(), 0777) == 0)
            return true;
        const int err = errno;
        struct stat st;
        if (err == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return true;
        errno = err;
        return false;
    }

    std::vector<std::string> subfolderNames(const std::string& folder)
    {
        std::vector<std::string> names;
        const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
        if (!dir)
            return names;
        while (const dirent* item = ::readdir(dir.get()))
        {
            if (item->d_name[0] == '.')
                continue;
            struct stat st;
            if (::fstatat(::dirfd(dir.get()), item->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode))
                names.emplace_back(item->d_name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string current()
    {
        std::vector<char> buffer(4096);
        while (::getcwd(buffer.data(), buffer.size()) == nullptr)
        {
            if (errno != ERANGE || buffer.size() > (1u << 20))
                return {};
            buffer.resize(buffer.size() * 2);
        }
        std::string folder = buffer.data();
        if (folder.back() != '/')
            folder += '/';
        return folder;
    }
} // namespace Platform::Folder
