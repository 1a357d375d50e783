#pragma once
// One folder per test under the system's temporary folder, named after the
// test; removed when the test passes, kept for inspection when it fails.

#include <filesystem>
#include <gtest/gtest.h>
#include <string>

class TempFolder
{
public:
    TempFolder()
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        mPath = std::filesystem::temp_directory_path() /
            (std::string("tarrowin-") + info->test_suite_name() + "." + info->name());
        std::filesystem::remove_all(mPath);
        std::filesystem::create_directories(mPath);
    }
    ~TempFolder()
    {
        if (!::testing::Test::HasFailure())
        {
            std::error_code ignored;
            std::filesystem::remove_all(mPath, ignored);
        }
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // A path inside the folder; folders end with "/".
    std::string file(const std::string& name) const { return (mPath / name).string(); }
    std::string folder(const std::string& name) const
    {
        std::filesystem::create_directories(mPath / name);
        return (mPath / name).string() + "/";
    }
    std::string path() const { return mPath.string() + "/"; }

private:
    std::filesystem::path mPath;
};
