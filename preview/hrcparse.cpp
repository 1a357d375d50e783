#include "hrcparse.h"

#include "errors/errors.h"

#include <deque>
#include <unordered_map>

std::vector<std::string> SplitTextLines(std::span<const std::uint8_t> bytes)
{
    std::vector<std::string> lines;
    std::size_t end = 0;
    while (end < bytes.size() && bytes[end] != 0)
        ++end;
    std::string line;
    bool open = false; // characters seen since the last break
    for (std::size_t i = 0; i < end; ++i)
    {
        const char c = char(bytes[i]);
        if (c == '\r' || c == '\n')
        {
            lines.push_back(std::move(line));
            line.clear();
            open = false;
            if (c == '\r' && i + 1 < end && bytes[i + 1] == '\n')
                ++i;
        }
        else
        {
            line.push_back(c);
            open = true;
        }
    }
    if (open)
        lines.push_back(std::move(line));
    return lines;
}

std::string RSDPlyValue(const std::vector<std::string>& lines)
{
    for (const std::string& line : lines)
    {
        const std::size_t eq = line.find('=');
        if (eq != 3)
            continue;
        auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
        if (upper(line[0]) == 'P' && upper(line[1]) == 'L' && upper(line[2]) == 'Y')
            return line.substr(eq + 1);
    }
    return {};
}

std::int32_t THRCTree::Add(std::int32_t parent, std::string text)
{
    const auto index = std::int32_t(Nodes.size());
    Nodes.push_back({std::move(text), parent, {}});
    if (parent >= 0)
        Nodes[std::size_t(parent)].Children.push_back(index);
    return index;
}

std::int32_t THRCTree::FindFirst(const std::string& text) const
{
    if (Nodes.empty())
        return -1;
    // Iterative depth-first walk: deep skeletons must not exhaust the stack.
    std::vector<std::int32_t> pending{0};
    while (!pending.empty())
    {
        const std::int32_t node = pending.back();
        pending.pop_back();
        const Node& n = Nodes[std::size_t(node)];
        if (n.Text == text)
            return node;
        for (auto it = n.Children.rbegin(); it != n.Children.rend(); ++it)
            pending.push_back(*it);
    }
    return -1;
}

namespace
{
    // The line list of the parse: taking or removing a line that is not there
    // fails as a list access at index 0 does.
    class TLines
    {
    public:
        explicit TLines(std::vector<std::string> lines)
            : mLines(std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()))
        {
        }
        std::size_t Count() const { return mLines.size(); }
        std::string Take()
        {
            if (mLines.empty())
                lgp::FailListIndex(0);
            std::string line = std::move(mLines.front());
            mLines.pop_front();
            return line;
        }
        const std::string& Peek() const
        {
            if (mLines.empty())
                lgp::FailListIndex(0);
            return mLines.front();
        }

    private:
        std::deque<std::string> mLines;
    };
}

void ParseHRC(std::vector<std::string> lines, THRCTree& tree, const THRCCallbacks& callbacks)
{
    TLines list(std::move(lines));
    list.Take();
    const std::string skeleton = list.Take();
    tree.Nodes.clear();

    // Nodes by text, so that a text carried by one node only (the usual bone
    // name) is found without a walk over the whole tree: a skeleton of
    // thousands of bones in one chain would otherwise take quadratic time.
    struct Holders
    {
        std::int32_t first = -1;
        std::int32_t count = 0;
    };
    std::unordered_map<std::string, Holders> byText;
    const auto add = [&](std::int32_t parent, std::string text) {
        const std::int32_t index = tree.Add(parent, std::move(text));
        Holders& holders = byText[tree.Nodes[std::size_t(index)].Text];
        if (holders.count++ == 0)
            holders.first = index;
        return index;
    };
    const auto findFirst = [&](const std::string& text) {
        const auto found = byText.find(text);
        if (found == byText.end())
            return std::int32_t(-1);
        return found->second.count == 1 ? found->second.first : tree.FindFirst(text);
    };

    add(-1, skeleton.size() > 10 ? skeleton.substr(10) : std::string());
    list.Take();

    while (list.Count() > 4)
    {
        if (!list.Take().empty() && callbacks.SeparatorFail)
            callbacks.SeparatorFail();
        std::string boneName = list.Take();
        std::int32_t parent = findFirst(list.Peek());
        if (parent < 0)
            parent = 0;
        const std::int32_t bone = add(parent, std::move(boneName));
        list.Take();
        add(bone, "Bone length " + list.Take());

        std::string resources = list.Take();
        // An empty resource line has no count character: it names nothing.
        const std::int32_t count = resources.empty() ? 0 : lgp::StrToInt(resources.substr(0, 1));
        resources.erase(0, std::min<std::size_t>(2, resources.size()));
        for (std::int32_t i = 0; i < count; ++i)
        {
            std::string name;
            const std::size_t blank = resources.find(' ');
            if (blank == std::string::npos)
                name = resources; // the last name is used again for the repetitions left
            else
            {
                name = resources.substr(0, blank);
                resources.erase(0, blank + 1);
            }
            if (!callbacks.ReadRSD)
                continue;
            const std::optional<std::vector<std::string>> rsd = callbacks.ReadRSD(name + ".RSD");
            if (!rsd)
                continue;
            std::string ply = RSDPlyValue(*rsd);
            ply.resize(ply.size() >= 2 ? ply.size() - 2 : 0);
            add(bone, "Polygon object " + ply);
        }
    }
}
