#pragma once
// What the core's tests share beyond tests/support: a progress recorder and
// raw-editor records (these speak the core's own types).

#include "core/lgpstruct.h"
#include "support/failure.h"
#include "support/gtestfolder.h"
#include "support/lgpwriter.h"

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace testlgp
{
    // Records ProgressHook calls for one scope.
    struct ProgressLog
    {
        std::vector<std::pair<std::int32_t, std::int32_t>> calls;
        ScopedProgressHook hook{[this](std::int32_t p, std::int32_t m) { calls.emplace_back(p, m); }};
    };

    // A record for the raw editor; its Data points into data, which must
    // outlive it.
    inline RawDataEntry NewData(const std::string& name, const Bytes& data)
    {
        RawDataEntry e;
        e.Name = FieldFromName(name);
        e.Length = static_cast<std::int32_t>(data.size());
        e.Data = data;
        return e;
    }
} // namespace testlgp

inline void PrintTo(const LGPEntry& e, std::ostream* os)
{
    *os << "{\"" << e.Name << "\", " << e.Offset << ", " << e.Length << (e.NameMismatch ? ", mismatch" : "") << "}";
}
