// The committed demo archive is exactly what the generator makes today, and
// its files decode with the previewers.

#include "preview/ff7pmodel.h"
#include "preview/hrcparse.h"
#include "preview/psxtexdecode.h"
#include "samples/demodata.h"
#include "support/tempfolder.h"
#include "testwriters.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(DemoArchive, regeneratingGivesTheCommittedBytes)
{
    TempFolder dir("DemoArchive.regenerating");
    const auto output = dir / "demo.lgp";
    const std::string command =
        std::string("\"") + TARROWIN_MAKE_DEMO + "\" \"" + output.string() + "\" \"" + (dir / "work").string() + "\"";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const testw::Bytes made = testlgp::Load(output);
    const testw::Bytes committed = testlgp::Load(TARROWIN_DEMO_ARCHIVE);
    ASSERT_FALSE(committed.empty());
    EXPECT_TRUE(made == committed) << "samples/demo.lgp is stale: rebuild it with tarrowin-make-demo";
    // Header, 13 TOC entries, 3,602 validation bytes before the first data entry.
    ASSERT_GT(made.size(), 16u + 27 * 13);
    EXPECT_EQ(made[12], 13);
    const std::size_t firstOffset = std::size_t(made[16 + 20] | made[16 + 21] << 8);
    EXPECT_EQ(firstOffset, 16u + 27 * 13 + 3602);
    // The game finds every name through the lookup table (what verify checks).
    EXPECT_TRUE(testlgp::NamesTheGameMisses(committed).empty());
}

TEST(DemoArchive, filesDecodeWithThePreviewers)
{
    int models = 0;
    for (const auto& [name, bytes] : demo::Files())
    {
        TMemoryStream stream(bytes);
        if (name.ends_with(".TEX"))
        {
            const TPSXTexImage image = PSXTexDecode(stream);
            EXPECT_GT(image.Width, 0) << name;
        }
        else if (name.ends_with(".P"))
        {
            TFF7PPart part(stream);
            for (std::size_t k = 0; k < part.Polygons.size(); ++k)
                EXPECT_TRUE(part.TriangleDrawable(k)) << name;
            ++models;
        }
    }
    EXPECT_EQ(models, 4);
    THRCTree tree;
    int fails = 0;
    ParseHRC(SplitTextLines(demo::Text(demo::Hrc())), tree, {{}, [&] { ++fails; }});
    EXPECT_EQ(fails, 0);
    EXPECT_EQ(tree.Nodes.size(), 1u + 4 * 2);
}
