#pragma once
// The message a call fails with, so a test can compare the whole text the
// user would read.

#include "core/errors.h"

#include <functional>
#include <string>

inline std::string failureOf(const std::function<void()>& fn)
{
    try
    {
        fn();
    }
    catch (const ELGPError& e)
    {
        return e.what();
    }
    return "(no failure)";
}
