// The Linux stub's own dialogs: what it asks zenity and kdialog, how it reads
// their answers, and that a tool that can't show its box leaves the text on
// standard error rather than nowhere.

#include "stub/stubui_desktop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
    using Args = std::vector<std::string>;

    struct FakeTool
    {
        std::vector<Args> calls;
        std::vector<Stub::ToolResult> answers;

        Stub::ToolRunner runner()
        {
            return [this](const Args& arguments) {
                calls.push_back(arguments);
                if (answers.empty())
                    return Stub::ToolResult{0, ""};
                Stub::ToolResult next = answers.front();
                answers.erase(answers.begin());
                return next;
            };
        }
    };

    Stub::OpenRequest exact(const std::string& name)
    {
        Stub::OpenRequest request;
        request.filterName = request.filterPattern = name;
        request.exactName = true;
        request.defaultExt = "LGP";
        return request;
    }
}

TEST(StubDesktopUi, patternsMatchTheTargetInAnyCaseAndKeepBlanksOneName)
{
    EXPECT_EQ(Stub::CaseInsensitivePattern(exact("char.lgp")), "[cC][hH][aA][rR].[lL][gG][pP]");
    // A blank or a wildcard of the name matches any one character: the name
    // stays one pattern and can't widen to other names.
    EXPECT_EQ(Stub::CaseInsensitivePattern(exact("my file*.lgp")), "[mM][yY]?[fF][iI][lL][eE]?.[lL][gG][pP]");
    Stub::OpenRequest all;
    all.filterName = "All files";
    all.filterPattern = "*.lgp;*.exe";
    EXPECT_EQ(Stub::CaseInsensitivePattern(all), "*.[lL][gG][pP] *.[eE][xX][eE]");
}

TEST(StubDesktopUi, boxesAndTheFileDialogThroughZenity)
{
    FakeTool tool;
    Stub::DesktopUi ui(Stub::DialogTool::Zenity, tool.runner());
    ui.message("Mossvane", "Process completed!");
    ui.error("Mossvane", "Cannot open file a<b>&c.lgp.");
    tool.answers = {{0, "/games/data/char.lgp\n"}};
    EXPECT_EQ(ui.openFile(exact("char.lgp")), "/games/data/char.lgp");
    tool.answers = {{1, ""}};
    EXPECT_EQ(ui.openFile(exact("char.lgp")), std::nullopt);

    ASSERT_EQ(tool.calls.size(), 4u);
    EXPECT_EQ(tool.calls[0], (Args{"zenity", "--info", "--title=Mossvane", "--text=Process completed!", "--no-wrap"}));
    // zenity reads markup: the text shows as written.
    EXPECT_EQ(tool.calls[1], (Args{"zenity", "--error", "--title=Mossvane",
                                   "--text=Cannot open file a&lt;b&gt;&amp;c.lgp.", "--no-wrap"}));
    ASSERT_EQ(tool.calls[2].size(), 4u);
    EXPECT_EQ(tool.calls[2][1], "--file-selection");
    EXPECT_EQ(tool.calls[2][3], "--file-filter=char.lgp | [cC][hH][aA][rR].[lL][gG][pP]");
}

TEST(StubDesktopUi, kdialogAndAToolThatCannotShowItsBox)
{
    FakeTool tool;
    Stub::DesktopUi ui(Stub::DialogTool::Kdialog, tool.runner());
    tool.answers = {{0, ""}, {0, "/d/x.lgp\n"}, {-1, ""}};
    ui.error("Mossvane", "Stream read error.");
    EXPECT_EQ(ui.openFile(exact("x.lgp")), "/d/x.lgp");
    EXPECT_EQ(tool.calls[0], (Args{"kdialog", "--title", "Mossvane", "--error", "Stream read error."}));
    EXPECT_EQ(tool.calls[1][1], "--getopenfilename");
    EXPECT_EQ(tool.calls[1][3], "[xX].[lL][gG][pP]|x.lgp");

    testing::internal::CaptureStderr();
    ui.message("Mossvane", "Process completed!");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Mossvane: Process completed!\n");
    // An empty answer is no file.
    tool.answers = {{0, "\n"}};
    EXPECT_EQ(ui.openFile(exact("x.lgp")), std::nullopt);
}

TEST(StubDesktopUi, withoutDialogsOrATerminalTheTextGoesToStandardError)
{
    FakeTool tool;
    Stub::DesktopUi ui(Stub::DialogTool::None, tool.runner());
    testing::internal::CaptureStderr();
    ui.error("Mossvane", "Cannot open file x.");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Mossvane: error: Cannot open file x.\n");
    EXPECT_EQ(ui.openFile(exact("x.lgp")), std::nullopt);
    EXPECT_TRUE(tool.calls.empty());
}
