#pragma once
// TempFolder for GoogleTest tests: named Suite.Test (a second folder in the
// same test Suite.Test.2, and so on), kept when the test failed.

#include "support/tempfolder.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace testlgp
{
    inline std::string RunningTestFolderName()
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string test = std::string(info->test_suite_name()) + "." + info->name();
        // Parameterised tests are named "Prefix/Suite.Test/N": one folder all the same.
        std::replace(test.begin(), test.end(), '/', '_');
        static std::string lastTest;
        static int serial = 0;
        serial = test == lastTest ? serial + 1 : 1;
        lastTest = test;
        return test + (serial > 1 ? "." + std::to_string(serial) : std::string());
    }
} // namespace testlgp

inline TempFolder::TempFolder()
    : TempFolder(testlgp::RunningTestFolderName(), [] { return ::testing::Test::HasFailure(); })
{
}
