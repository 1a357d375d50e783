#pragma once
// The debug log: the LZS decoder and patch application send lines here. It
// keeps nothing; a sink may be installed (the command-line tool's --verbose,
// tests) and is empty by default.

#include <functional>
#include <string>

void DebugLog(const std::string& text);

using TDebugLogSink = std::function<void(const std::string& text)>;
void SetDebugLogSink(TDebugLogSink sink);
