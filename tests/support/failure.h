#pragma once
// The message a call fails with, so a test can compare the whole text the
// user would read: the what() of the exception of type E it throws, or
// "(no failure)" when it returns. Any other exception passes through.

#include <exception>
#include <string>

namespace testlgp
{
    template <class E = std::exception, class F> std::string FailureText(F&& f)
    {
        try
        {
            f();
        }
        catch (const E& e)
        {
            return e.what();
        }
        return "(no failure)";
    }
} // namespace testlgp
