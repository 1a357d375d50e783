#pragma once
// Sets an environment variable for one scope (unsets it for std::nullopt);
// the old value, or its absence, comes back at the end.

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include <stdlib.h>

namespace testlgp
{
    class ScopedEnv
    {
    public:
        ScopedEnv(std::string name, const std::optional<std::string>& value)
            : mName(std::move(name))
        {
            if (const char* old = std::getenv(mName.c_str()))
                mOld = old;
            set(value);
        }
        ~ScopedEnv() { set(mOld); }
        ScopedEnv(const ScopedEnv&) = delete;
        ScopedEnv& operator=(const ScopedEnv&) = delete;

    private:
        void set(const std::optional<std::string>& value) const
        {
            if (value)
                ::setenv(mName.c_str(), value->c_str(), 1);
            else
                ::unsetenv(mName.c_str());
        }
        std::string mName;
        std::optional<std::string> mOld;
    };
} // namespace testlgp
