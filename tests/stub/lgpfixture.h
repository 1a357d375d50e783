#pragma once
// Archives for the stub and window tests, written and read back by this small
// test-side code, independent of the archive core's builder and readers.

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace fixture
{
    using Bytes = std::vector<std::uint8_t>;

    struct File
    {
        std::string name;
        Bytes data;
    };

    struct Archive
    {
        std::vector<File> files;
        std::size_t validation = 0;            // bytes between the TOC and the data
        std::string trailing = "FINAL FANTASY7";
    };

    struct Entry
    {
        std::string name;
        Bytes data;
        bool operator==(const Entry&) const = default;
    };

    inline void put32(Bytes& out, std::int32_t value)
    {
        const auto v = static_cast<std::uint32_t>(value);
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }

    inline std::int32_t get32(const Bytes& in, std::size_t pos)
    {
        if (pos + 4 > in.size())
            throw std::runtime_error("fixture: read past the end");
        return static_cast<std::int32_t>(std::uint32_t(in[pos]) | std::uint32_t(in[pos + 1]) << 8
            | std::uint32_t(in[pos + 2]) << 16 | std::uint32_t(in[pos + 3]) << 24);
    }

    inline void putName(Bytes& out, const std::string& name)
    {
        char field[20] = {};
        std::memcpy(field, name.data(), std::min<std::size_t>(name.size(), 19));
        out.insert(out.end(), field, field + 20);
    }

    inline std::string getName(const Bytes& in, std::size_t pos)
    {
        std::string name;
        for (std::size_t i = 0; i < 20 && in.at(pos + i) != 0; ++i)
            name.push_back(static_cast<char>(in[pos + i]));
        return name;
    }

    // The files in the given order, each entry pointing at its own data.
    inline Bytes build(const Archive& archive)
    {
        Bytes out{0, 0, 'S', 'Q', 'U', 'A', 'R', 'E', 'S', 'O', 'F', 'T'};
        put32(out, static_cast<std::int32_t>(archive.files.size()));
        std::size_t offset = 16 + 27 * archive.files.size() + archive.validation;
        for (const File& f : archive.files)
        {
            putName(out, f.name);
            put32(out, static_cast<std::int32_t>(offset));
            out.push_back(14);
            out.push_back(0);
            out.push_back(0);
            offset += 24 + f.data.size();
        }
        out.insert(out.end(), archive.validation, 0);
        for (const File& f : archive.files)
        {
            putName(out, f.name);
            put32(out, static_cast<std::int32_t>(f.data.size()));
            out.insert(out.end(), f.data.begin(), f.data.end());
        }
        out.insert(out.end(), archive.trailing.begin(), archive.trailing.end());
        return out;
    }

    inline Bytes readFile(const std::filesystem::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            throw std::runtime_error("fixture: cannot open " + path.string());
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    inline void writeFile(const std::filesystem::path& path, const Bytes& bytes)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        if (!out)
            throw std::runtime_error("fixture: cannot write " + path.string());
    }

    // Every TOC entry with the data its Offset points at.
    inline std::vector<Entry> entries(const Bytes& archive)
    {
        const std::int32_t count = get32(archive, 12);
        std::vector<Entry> result;
        for (std::int32_t i = 0; i < count; ++i)
        {
            const std::size_t toc = 16 + 27 * std::size_t(i);
            const auto offset = static_cast<std::size_t>(get32(archive, toc + 20));
            const auto length = static_cast<std::size_t>(get32(archive, offset + 20));
            if (offset + 24 + length > archive.size())
                throw std::runtime_error("fixture: entry past the end");
            result.push_back({getName(archive, toc),
                Bytes(archive.begin() + std::ptrdiff_t(offset + 24),
                    archive.begin() + std::ptrdiff_t(offset + 24 + length))});
        }
        return result;
    }

    inline std::int32_t tocOffset(const Bytes& archive, int index) { return get32(archive, 16 + 27 * std::size_t(index) + 20); }

    inline Bytes generate(std::size_t size, std::uint32_t seed)
    {
        std::mt19937 rng(seed);
        Bytes out(size);
        for (auto& b : out)
            b = static_cast<std::uint8_t>('a' + rng() % 26);
        return out;
    }

    // One folder per test under the temporary folder, removed when the test
    // passed (keep() leaves it for a look after a failure).
    class TempDir
    {
    public:
        explicit TempDir(const std::string& name)
            : mPath(std::filesystem::temp_directory_path() / name)
        {
            std::filesystem::remove_all(mPath);
            std::filesystem::create_directories(mPath);
        }
        ~TempDir()
        {
            if (!mKeep)
            {
                std::error_code ec;
                std::filesystem::remove_all(mPath, ec);
            }
        }
        TempDir(const TempDir&) = delete;
        TempDir& operator=(const TempDir&) = delete;

        const std::filesystem::path& path() const { return mPath; }
        std::string operator/(const std::string& name) const { return (mPath / name).string(); }
        void keep(bool value = true) { mKeep = value; }

    private:
        std::filesystem::path mPath;
        bool mKeep = false;
    };
}
