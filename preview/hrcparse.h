#pragma once
// Text entries as lines, and HRC skeleton hierarchies parsed into a plain tree.
// Standard library only: the preview window copies the tree into its view.
//
// HRC text (lines numbered from 1):
//   1         header, ignored
//   2         skeleton line; the name starts at its 11th character
//   3         header, ignored
//   4 onward  bone blocks of 5 lines: separator (empty), bone name, parent
//             name, bone length, resource line ("<digit> <name> <name>...")
// Each resource name is an archive entry without ".RSD"; the RSD's "PLY" key
// names the bone's polygon object (shown with ".PLY" cut to ".P").

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The entry as single-byte text cut at its first zero byte, split at CR, LF
// and CRLF. A last line without a break is a line; a break at the very end
// adds no empty line.
std::vector<std::string> SplitTextLines(std::span<const std::uint8_t> bytes);

// The value of the first line whose text before its first "=" is "PLY" (any
// case), or empty when there is none.
std::string RSDPlyValue(const std::vector<std::string>& lines);

struct THRCTree
{
    struct Node
    {
        std::string Text;
        std::int32_t Parent = -1;           // -1 for the root
        std::vector<std::int32_t> Children; // in order
    };
    // Nodes[0] is the root once the skeleton line was read; empty before.
    std::vector<Node> Nodes;

    std::int32_t Add(std::int32_t parent, std::string text);
    // Depth-first, each node before its children: the first node whose text
    // equals text exactly (case included), or -1.
    std::int32_t FindFirst(const std::string& text) const;
};

struct THRCCallbacks
{
    // Lines of the archive entry named rsdName (e.g. "AAAA.RSD"), or nothing
    // when the archive has no such entry.
    std::function<std::optional<std::vector<std::string>>(const std::string& rsdName)> ReadRSD;
    // Called once per bone block whose separator is not empty ("HRC fail").
    std::function<void()> SeparatorFail;
};

// Builds the skeleton tree from the HRC's lines into tree (cleared once the
// skeleton line was read). Failures (ELGPError), with the tree keeping the
// nodes added so far:
//   "List index out of bounds (0)"          fewer than 3 lines;
//   "'%s' is not a valid integer value"     a resource line not starting with a digit.
// An empty resource line counts as 0 names.
void ParseHRC(std::vector<std::string> lines, THRCTree& tree, const THRCCallbacks& callbacks);
