#include "DebugLog.h"

#include <utility>

namespace
{
    TDebugLogSink& sink()
    {
        static TDebugLogSink instance;
        return instance;
    }
}

void DebugLog(const std::string& text)
{
    if (const TDebugLogSink& s = sink())
        s(text);
}

void SetDebugLogSink(TDebugLogSink newSink) { sink() = std::move(newSink); }
