#pragma once
// The advanced editor's "Data" column: which data entry each table entry of a
// block points at. Standard library only, so it can be timed on its own.

#include "core/lgpstruct.h"

#include <cstdint>
#include <vector>

// For the table indexes first..last: the data index whose Position equals the
// table entry's Offset (TRawLGPFile::DataIndexAt), or -1 when no data entry
// starts there. Indexes outside the table fail as GetTableEntry does.
inline std::vector<std::int32_t> LinkedDataIndexes(const TRawLGPFile& archive, std::int32_t first, std::int32_t last)
{
    std::vector<std::int32_t> result;
    if (last < first)
        return result;
    result.reserve(std::size_t(last - first + 1));
    for (std::int32_t t = first; t <= last; ++t)
        result.push_back(archive.DataIndexAt(archive.GetTableEntry(t).Offset));
    return result;
}
