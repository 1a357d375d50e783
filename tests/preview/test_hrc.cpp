#include "preview/hrcparse.h"
#include "support/failure.h"

#include "errors/errors.h"
#include "support/tempfolder.h"
#include "testwriters.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <pthread.h>

using Lines = std::vector<std::string>;

namespace
{
    // The tree as indented text: one line per node, two blanks per level.
    std::string Shape(const THRCTree& tree)
    {
        std::string out;
        std::vector<std::pair<std::int32_t, int>> pending{{0, 0}};
        while (!pending.empty() && !tree.Nodes.empty())
        {
            auto [node, depth] = pending.back();
            pending.pop_back();
            out += std::string(std::size_t(depth) * 2, ' ') + tree.Nodes[std::size_t(node)].Text + "\n";
            const auto& children = tree.Nodes[std::size_t(node)].Children;
            for (auto it = children.rbegin(); it != children.rend(); ++it)
                pending.push_back({*it, depth + 1});
        }
        return out;
    }

    struct Fixture
    {
        std::map<std::string, Lines> rsd; // upper-case names, as FindEntry matches them
        std::vector<std::string> lookups;
        int fails = 0;

        THRCCallbacks Callbacks()
        {
            THRCCallbacks c;
            c.ReadRSD = [this](const std::string& name) -> std::optional<Lines> {
                lookups.push_back(name);
                std::string upper = name;
                for (char& ch : upper)
                    ch = char(std::toupper(static_cast<unsigned char>(ch)));
                auto it = rsd.find(upper);
                if (it == rsd.end())
                    return std::nullopt;
                return it->second;
            };
            c.SeparatorFail = [this] { ++fails; };
            return c;
        }
    };

    // Runs fn on a thread with a 256 KiB stack: a walk that recursed once per
    // level of a deep skeleton would overflow it.
    void OnSmallStack(const std::function<void()>& fn)
    {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, 256 * 1024);
        pthread_t thread;
        auto* call = new std::function<void()>(fn);
        const auto run = [](void* p) -> void* {
            std::unique_ptr<std::function<void()>> f(static_cast<std::function<void()>*>(p));
            (*f)();
            return nullptr;
        };
        ASSERT_EQ(pthread_create(&thread, &attr, run, call), 0);
        pthread_join(thread, nullptr);
        pthread_attr_destroy(&attr);
    }

    Lines Header() { return {":HEADER_BLOCK 2", ":SKELETON hero_skel", ":BONES 3"}; }
    void Bone(Lines& l, std::string name, std::string parent, std::string length, std::string res,
              std::string separator = "")
    {
        l.insert(l.end(), {separator, name, parent, length, res});
    }
}

TEST(SplitTextLines, splitsOnCrLfAndCrlfAndStopsAtZero)
{
    auto split = [](const std::string& s) { return SplitTextLines(testlgp::B(s)); };
    EXPECT_EQ(split("a\rb\nc\r\nd"), (Lines{"a", "b", "c", "d"}));
    EXPECT_EQ(split("a\n\rb"), (Lines{"a", "", "b"})); // LF then CR: two breaks
    EXPECT_EQ(split("a\r\n"), (Lines{"a"}));
    EXPECT_EQ(split("a\n\n"), (Lines{"a", ""}));
    EXPECT_EQ(split(""), Lines{});
    EXPECT_EQ(split(std::string("ab\ncd\0ef\ngh", 11)), (Lines{"ab", "cd"}));
    EXPECT_EQ(split(std::string("ab\r\0\ncd", 7)), (Lines{"ab"}));
}

TEST(RSDPlyValue, findsKeyInAnyCaseOnlyBeforeTheFirstEquals)
{
    EXPECT_EQ(RSDPlyValue({"@RSD940102", "PLYX=no", "ply=ABCD.PLY", "PLY=later"}), "ABCD.PLY");
    EXPECT_EQ(RSDPlyValue({"MAT=a=PLY", "TEX[0]=x"}), "");
    EXPECT_EQ(RSDPlyValue({"PLY"}), "");
}

TEST(ParseHRC, treeNestsAsTheFileSaysAndUnknownParentsHangFromRoot)
{
    Lines l = Header();
    Bone(l, "hip", "root", "0.5", "1 AAAA");
    Bone(l, "chest", "hip", "1.25", "0");
    Bone(l, "head", "chest", "0.75", "2 BBBB AAAA");
    Bone(l, "early", "late", "1", "0"); // parent comes later in the file
    Bone(l, "late", "hip", "1", "0");
    Bone(l, "Chest2", "CHEST", "1", "0"); // case differs: no match
    Fixture f;
    f.rsd["AAAA.RSD"] = {"@RSD940102", "ply=ABCD.PLY"};
    f.rsd["BBBB.RSD"] = {"PLY=XY.PLY"};
    THRCTree tree;
    ParseHRC(l, tree, f.Callbacks());
    EXPECT_EQ(Shape(tree), "hero_skel\n"
                           "  hip\n"
                           "    Bone length 0.5\n"
                           "    Polygon object ABCD.P\n"
                           "    chest\n"
                           "      Bone length 1.25\n"
                           "      head\n"
                           "        Bone length 0.75\n"
                           "        Polygon object XY.P\n"
                           "        Polygon object ABCD.P\n"
                           "    late\n"
                           "      Bone length 1\n"
                           "  early\n"
                           "    Bone length 1\n"
                           "  Chest2\n"
                           "    Bone length 1\n");
    EXPECT_EQ(f.lookups, (Lines{"AAAA.RSD", "BBBB.RSD", "AAAA.RSD"}));
    EXPECT_EQ(f.fails, 0);
}

TEST(ParseHRC, parentSearchCoversEveryNodeDepthFirst)
{
    Lines l = Header();
    Bone(l, "a", "x", "1", "0");
    Bone(l, "b", "a", "2", "0");
    Bone(l, "a", "b", "3", "0");             // a second "a", deeper
    Bone(l, "c", "a", "4", "0");             // the first "a" in top-down order
    Bone(l, "d", "Bone length 2", "5", "0"); // length nodes are searched too
    Bone(l, "e", "hero_skel", "6", "0");     // so is the root
    THRCTree tree;
    Fixture f;
    ParseHRC(l, tree, f.Callbacks());
    EXPECT_EQ(Shape(tree), "hero_skel\n"
                           "  a\n"
                           "    Bone length 1\n"
                           "    b\n"
                           "      Bone length 2\n"
                           "        d\n"
                           "          Bone length 5\n"
                           "      a\n"
                           "        Bone length 3\n"
                           "    c\n"
                           "      Bone length 4\n"
                           "  e\n"
                           "    Bone length 6\n");
}

TEST(ParseHRC, resourceLineCountsAndRepeatedLastName)
{
    Lines l = Header();
    Bone(l, "a", "x", "1", "3 AAAA");
    Bone(l, "b", "x", "1", "0 AAAA BBBB");
    Bone(l, "c", "x", "1", "2 AAAA NONE");
    Bone(l, "d", "x", "1", "");  // empty resource line: no names
    Bone(l, "e", "x", "1", "1"); // count without names: the empty name
    Fixture f;
    f.rsd["AAAA.RSD"] = {"PLY=Q"}; // shorter than two characters
    THRCTree tree;
    ParseHRC(l, tree, f.Callbacks());
    EXPECT_EQ(f.lookups, (Lines{"AAAA.RSD", "AAAA.RSD", "AAAA.RSD", "AAAA.RSD", "NONE.RSD", ".RSD"}));
    EXPECT_EQ(Shape(tree), "hero_skel\n"
                           "  a\n    Bone length 1\n    Polygon object \n    Polygon object \n    Polygon object \n"
                           "  b\n    Bone length 1\n"
                           "  c\n    Bone length 1\n    Polygon object \n"
                           "  d\n    Bone length 1\n"
                           "  e\n    Bone length 1\n");
}

TEST(ParseHRC, separatorFailOncePerBlockAndBlankLineIsNotEmpty)
{
    Lines l = Header();
    Bone(l, "a", "x", "1", "0", "junk");
    Bone(l, "b", "x", "1", "0", " ");
    Bone(l, "c", "x", "1", "0");
    Fixture f;
    THRCTree tree;
    ParseHRC(l, tree, f.Callbacks());
    EXPECT_EQ(f.fails, 2);
    EXPECT_EQ(tree.Nodes.size(), 7u);
}

TEST(ParseHRC, blockCountAndLeftoverLines)
{
    Lines l = Header();
    Bone(l, "a", "x", "1", "0");
    Bone(l, "b", "x", "1", "0");
    Lines four = l;
    four.insert(four.end(), {"", "c", "x", "1"});
    Fixture f;
    THRCTree tree;
    ParseHRC(four, tree, f.Callbacks());
    EXPECT_EQ(tree.Nodes[0].Children.size(), 2u);
    four.push_back("0");
    ParseHRC(four, tree, f.Callbacks());
    EXPECT_EQ(tree.Nodes[0].Children.size(), 3u);
}

TEST(ParseHRC, failuresKeepWhatWasBuilt)
{
    Fixture f;
    auto failure = [&](const Lines& l, THRCTree& tree) {
        return testlgp::FailureText<ELGPError>([&] { ParseHRC(l, tree, f.Callbacks()); });
    };
    THRCTree tree;
    EXPECT_EQ(failure({}, tree), "List index out of bounds (0)");
    EXPECT_EQ(failure({"one"}, tree), "List index out of bounds (0)");
    EXPECT_TRUE(tree.Nodes.empty());
    EXPECT_EQ(failure({"one", "0123456789name"}, tree), "List index out of bounds (0)");
    ASSERT_EQ(tree.Nodes.size(), 1u);
    EXPECT_EQ(tree.Nodes[0].Text, "name");

    Lines l = Header();
    l[1] = "short";
    Bone(l, "a", "x", "1", "0");
    Bone(l, "b", "a", "2", "x AAAA");
    EXPECT_EQ(failure(l, tree), "'x' is not a valid integer value");
    EXPECT_EQ(Shape(tree), "\n  a\n    Bone length 1\n    b\n      Bone length 2\n");
    Lines sign = Header();
    Bone(sign, "a", "x", "1", "-1 AAAA");
    EXPECT_EQ(failure(sign, tree), "'-' is not a valid integer value");
}

TEST(ParseHRC, skeletonThirtyThousandBonesDeepParsesWithoutRecursion)
{
    constexpr int Depth = 30000;
    Lines l = Header();
    Bone(l, "b0", "hero_skel", "1", "0");
    for (int i = 1; i < Depth; ++i)
        Bone(l, "b" + std::to_string(i), "b" + std::to_string(i - 1), "1", "0");
    THRCTree tree;
    std::int32_t deepest = -1;
    OnSmallStack([&] {
        ParseHRC(l, tree, {});
        deepest = tree.FindFirst("b" + std::to_string(Depth - 1));
    });
    ASSERT_EQ(tree.Nodes.size(), std::size_t(1 + 2 * Depth));
    ASSERT_GT(deepest, 0);
    int levels = 0;
    for (std::int32_t n = deepest; n > 0; n = tree.Nodes[std::size_t(n)].Parent)
        ++levels;
    EXPECT_EQ(levels, Depth);
    EXPECT_EQ(tree.Nodes[std::size_t(deepest)].Children.size(), 1u);
}
