#pragma once
// One folder per test under the system's temporary folder, named after the
// test; removed when the test passed, kept for a look when it failed.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

class TempDir
{
public:
    TempDir()
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        mPath = std::filesystem::temp_directory_path()
            / (std::string("tarrowin.") + info->test_suite_name() + "." + info->name());
        std::filesystem::remove_all(mPath);
        std::filesystem::create_directories(mPath);
    }
    ~TempDir()
    {
        if (!::testing::Test::HasFailure())
        {
            std::error_code ec;
            std::filesystem::remove_all(mPath, ec);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return mPath; }
    std::string file(const std::string& name) const { return (mPath / name).string(); }

    static void write(const std::filesystem::path& file, const std::string& content)
    {
        std::filesystem::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary);
        out << content;
    }
    static std::string read(const std::filesystem::path& file)
    {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::filesystem::path mPath;
};
