#pragma once
// The advanced editor's "Data" column: which data entry each table entry of a
// block points at. Standard library only, so it can be timed on its own.

#include "core/lgpstruct.h"

#include <cstdint>
#include <unordered_map>
#include <vector>

// For the table indexes first..last: the lowest data index whose Position
// equals the table entry's Offset, or -1 when no data entry starts there.
// One pass over the data entries and one lookup per row, rather than a search
// of every data entry per row. Indexes outside the table fail as
// GetTableEntry does.
inline std::vector<std::int32_t> LinkedDataIndexes(const TRawLGPFile& archive, std::int32_t first, std::int32_t last)
{
    std::vector<std::int32_t> result;
    if (last < first)
        return result;
    std::unordered_map<std::int32_t, std::int32_t> dataAt;
    const std::int32_t dataCount = archive.DataCount();
    dataAt.reserve(std::size_t(dataCount));
    for (std::int32_t d = 0; d < dataCount; ++d)
        dataAt.emplace(archive.GetDataEntry(d).Position, d); // keeps the first, lowest index
    result.reserve(std::size_t(last - first + 1));
    for (std::int32_t t = first; t <= last; ++t)
    {
        const auto found = dataAt.find(archive.GetTableEntry(t).Offset);
        result.push_back(found == dataAt.end() ? -1 : found->second);
    }
    return result;
}
