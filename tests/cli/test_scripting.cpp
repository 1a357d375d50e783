// tarrowin-cli in scripts: version, exit statuses, messages, JSON output,
// quiet runs, name patterns, and the manual page and completion made from the
// command table.
#include "support/gtestfolder.h"
#include "support/lgpwriter.h"

#include "clirun.h"

#include <gmock/gmock.h>

#include <cctype>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <variant>

using namespace testlgp;
using ::testing::HasSubstr;

namespace
{
    using RunResult = testcli::Result;

    // The program through the shell, so stdin and stdout can be pipes.
    RunResult Shell(const TempFolder& tmp, const std::string& command)
    {
        const std::string err = tmp.file(".stderr");
        const std::string line =
            "cd '" + tmp.dir() + "' && timeout -s KILL 20 " + TARROWIN_CLI + " " + command + " 2>'" + err + "'";
        RunResult r;
        FILE* pipe = ::popen(line.c_str(), "r");
        if (!pipe)
            return r;
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            r.out.append(buffer, n);
        const int status = ::pclose(pipe);
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        const Bytes e = Load(err);
        r.err.assign(e.begin(), e.end());
        return r;
    }

    // A JSON value, parsed strictly (RFC 8259): a test fails on any text that
    // is no JSON.
    struct Json
    {
        std::variant<std::nullptr_t, bool, double, std::string, std::vector<Json>, std::map<std::string, Json>> v;
        const Json& operator[](const std::string& key) const { return std::get<5>(v).at(key); }
        const Json& operator[](std::size_t i) const { return std::get<4>(v).at(i); }
        std::size_t size() const { return v.index() == 4 ? std::get<4>(v).size() : std::get<5>(v).size(); }
        double number() const { return std::get<2>(v); }
        const std::string& text() const { return std::get<3>(v); }
    };

    class JsonParser
    {
    public:
        explicit JsonParser(const std::string& text)
            : s(text)
        {
        }
        Json Document()
        {
            Json value = Value();
            Blanks();
            if (at != s.size())
                Fail("text after the value");
            return value;
        }

    private:
        [[noreturn]] void Fail(const std::string& what) const
        {
            throw std::runtime_error("no JSON at " + std::to_string(at) + ": " + what);
        }
        void Blanks()
        {
            while (at < s.size() && (s[at] == ' ' || s[at] == '\n' || s[at] == '\t' || s[at] == '\r'))
                ++at;
        }
        bool Take(const std::string& word)
        {
            if (s.compare(at, word.size(), word) != 0)
                return false;
            at += word.size();
            return true;
        }
        Json Value()
        {
            Blanks();
            if (at >= s.size())
                Fail("end of text");
            if (Take("null"))
                return {nullptr};
            if (Take("true"))
                return {true};
            if (Take("false"))
                return {false};
            if (s[at] == '"')
                return {String()};
            if (s[at] == '[')
            {
                ++at;
                std::vector<Json> items;
                Blanks();
                if (Take("]"))
                    return {items};
                do
                    items.push_back(Value());
                while ((Blanks(), Take(",")));
                if (!Take("]"))
                    Fail("']' expected");
                return {items};
            }
            if (s[at] == '{')
            {
                ++at;
                std::map<std::string, Json> members;
                Blanks();
                if (Take("}"))
                    return {members};
                do
                {
                    Blanks();
                    if (at >= s.size() || s[at] != '"')
                        Fail("key expected");
                    const std::string key = String();
                    Blanks();
                    if (!Take(":"))
                        Fail("':' expected");
                    members[key] = Value();
                } while ((Blanks(), Take(",")));
                if (!Take("}"))
                    Fail("'}' expected");
                return {members};
            }
            std::size_t used = 0;
            if (s[at] != '-' && !std::isdigit(static_cast<unsigned char>(s[at])))
                Fail("value expected");
            const double number = std::stod(s.substr(at), &used);
            at += used;
            return {number};
        }
        // The string's characters, each kept as UTF-8.
        std::string String()
        {
            ++at;
            std::string out;
            while (at < s.size() && s[at] != '"')
            {
                const auto c = static_cast<unsigned char>(s[at]);
                if (c < 0x20)
                    Fail("control character in a string");
                if (c != '\\')
                {
                    out += s[at++];
                    continue;
                }
                ++at;
                if (at >= s.size())
                    Fail("cut escape");
                const char e = s[at++];
                if (e == 'u')
                {
                    const unsigned code = std::stoul(s.substr(at, 4), nullptr, 16);
                    at += 4;
                    if (code >= 0x80)
                        Fail("only control characters are escaped");
                    out += static_cast<char>(code);
                }
                else if (e == '"' || e == '\\' || e == '/')
                    out += e;
                else
                    Fail("unknown escape");
            }
            if (!Take("\""))
                Fail("cut string");
            return out;
        }
        const std::string& s;
        std::size_t at = 0;
    };

    Json Parse(const std::string& text) { return JsonParser(text).Document(); }
} // namespace

TEST(CliScripting, versionHelpAndExitStatuses)
{
    TempFolder tmp;
    for (const char* flag : {"--version", "-V"})
    {
        const RunResult r = Shell(tmp, flag);
        EXPECT_EQ(r.code, 0);
        EXPECT_THAT(r.out, ::testing::MatchesRegex("tarrowin-cli [0-9]+\\.[0-9]+\n"));
    }
    // Every --help states the exit statuses.
    for (const char* help : {"--help", "list --help", "verify --help", "extract-all --help", "lzs-encode --help"})
        EXPECT_THAT(Shell(tmp, help).out, HasSubstr("1 failed or could not check")) << help;

    // Checked and found problems (3) is not could not check (1).
    Writer w;
    w.header("SQUARESOFT", 1).toc("a.bin", 16 + 27 + 3602).zeros(3602).dataEntry("a.bin", B("x")).text("T");
    tmp.save("lost.lgp", w.out);
    EXPECT_EQ(Shell(tmp, "verify lost.lgp").code, 3);
    const RunResult unreadable = Shell(tmp, "verify absent.lgp");
    EXPECT_EQ(unreadable.code, 1);
    EXPECT_EQ(unreadable.err, "tarrowin-cli: Cannot open file absent.lgp: No such file or directory\n");
    // A file that is no archive says what is wrong with it.
    tmp.save("text.lgp", B("just some text, no archive at all"));
    EXPECT_EQ(Shell(tmp, "info text.lgp").err,
              "tarrowin-cli: Stream read error: text.lgp is no LGP archive: its header gives 539784312 files, and "
              "their table of contents doesn't fit in the file\n");
}

TEST(CliScripting, jsonOfInfoListVerifyAndAnalyseParses)
{
    TempFolder tmp;
    // A name byte above 127 comes out as the character of the same number.
    tmp.save("a.lgp", Write(ArchiveOf({{"a.tex", B("AAAA")}, {"caf\xE9.p", B("")}, {"q\"\\.bin", B("ccc")}})));
    const Json info = Parse(Shell(tmp, "info --json a.lgp").out);
    EXPECT_EQ(info["file"].text(), "a.lgp");
    EXPECT_EQ(info["files"].number(), 3);
    EXPECT_EQ(info["creator"].text(), "SQUARESOFT");
    EXPECT_EQ(info["description"].text(), "FINAL FANTASY7");

    const Json list = Parse(Shell(tmp, "list --json a.lgp").out);
    ASSERT_EQ(list["entries"].size(), 3u);
    EXPECT_EQ(list["entries"][1]["name"].text(), "caf\xC3\xA9.p");
    EXPECT_EQ(list["entries"][2]["name"].text(), "q\"\\.bin");
    EXPECT_EQ(list["entries"][0]["length"].number(), 4);
    EXPECT_EQ(list["entries"][2]["index"].number(), 2);

    const Json verify = Parse(Shell(tmp, "verify --json a.lgp").out);
    EXPECT_EQ(verify["names"].number(), 3);
    EXPECT_GE(verify["lines"].size(), 1u);
    const Json analyse = Parse(Shell(tmp, "analyse --json a.lgp").out);
    EXPECT_THAT(analyse["lines"][0].text(), HasSubstr("a.lgp"));
    EXPECT_EQ(analyse["problems"].number(), 0);
}

TEST(CliScripting, analyseExitsThreeWhenItFindsProblemsAndOneWhenItCannotCheck)
{
    TempFolder tmp;
    tmp.save("clean.lgp", Write(ArchiveOf({{"a.tex", B("AAAA")}, {"b.p", B("bb")}})));
    const RunResult clean = Shell(tmp, "analyse clean.lgp");
    EXPECT_EQ(clean.code, 0) << clean.err;
    EXPECT_THAT(clean.out, HasSubstr("There are no data gaps in the file (OK).\n"));

    // A gap between two entries and a data entry named otherwise than its TOC entry.
    Writer w;
    w.header("SQUARESOFT", 2).toc("a", 70).toc("b", 70 + 25 + 8);
    w.dataEntry("other", B("1")).gap(8).dataEntry("b", B("2")).text("FINAL FANTASY7");
    tmp.save("gap.lgp", w.out);
    const RunResult damaged = Shell(tmp, "analyse gap.lgp");
    EXPECT_EQ(damaged.code, 3);
    EXPECT_THAT(damaged.out, HasSubstr("1 files have mismatched filenames.\n"));
    EXPECT_THAT(damaged.out, HasSubstr("There is a data gap between files: \n  a and b\n"));
    const RunResult json = Shell(tmp, "analyse --json gap.lgp");
    EXPECT_EQ(json.code, 3);
    EXPECT_EQ(Parse(json.out)["problems"].number(), 2);

    EXPECT_EQ(Shell(tmp, "analyse absent.lgp").code, 1);
    EXPECT_THAT(Shell(tmp, "analyse --help").out, HasSubstr("Exit status 3 when it finds problems"));
}

TEST(CliScripting, listPatternsAndQuietRuns)
{
    TempFolder tmp;
    tmp.save("a.lgp", Write(ArchiveOf({{"a.tex", B("A")}, {"b.p", B("")}, {"c.tex", B("c")}, {"D.HRC", B("d")}})));
    EXPECT_EQ(Shell(tmp, "list --only '*.TEX' --only 'd.*' a.lgp").out,
              "a.tex\t124\t1\nc.tex\t173\t1\nD.HRC\t198\t1\n");
    EXPECT_EQ(Shell(tmp, "list --only 'z*' a.lgp").out, "");

    // -q before or after the command: nothing on stderr, the work done.
    std::filesystem::create_directories(tmp.file("mods"));
    Save(tmp.file("mods/a.tex"), B("B"));
    const RunResult quiet = Shell(tmp, "-q make-patch a.lgp mods p.lgp");
    EXPECT_EQ(quiet.code, 0);
    EXPECT_EQ(quiet.err, "");
    EXPECT_TRUE(std::filesystem::exists(tmp.file("p.lgp")));
    const RunResult loud = Shell(tmp, "make-patch a.lgp mods p2.lgp");
    EXPECT_THAT(loud.err, HasSubstr("Done!"));
    EXPECT_EQ(Shell(tmp, "make-patch a.lgp mods p3.lgp -q").err, "");
}

TEST(CliScripting, manualPageAndCompletionNameEveryCommand)
{
    TempFolder tmp;
    const std::string help = Shell(tmp, "--help").out;
    const Bytes man = Load(std::string(TARROWIN_CLI_DOCS) + "tarrowin-cli.1");
    const Bytes completion = Load(std::string(TARROWIN_CLI_DOCS) + "tarrowin-cli");
    const std::string manText(man.begin(), man.end());
    const std::string completionText(completion.begin(), completion.end());
    // The commands, as the help lists them.
    const std::size_t from = help.find("ommands:\n");
    ASSERT_NE(from, std::string::npos);
    std::size_t count = 0;
    std::istringstream lines(help.substr(from));
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line) && line.starts_with("  "))
    {
        const std::string name = line.substr(2, line.find(' ', 2) - 2);
        ++count;
        std::string inRoff; // a minus sign is "\-" in a manual page
        for (const char c : name)
            inRoff += c == '-' ? std::string("\\-") : std::string(1, c);
        EXPECT_NE(manText.find(".SS \"" + inRoff + " "), std::string::npos) << name;
        EXPECT_NE(completionText.find(" " + name + ") options="), std::string::npos) << name;
    }
    EXPECT_GE(count, 15u);
    EXPECT_THAT(completionText, HasSubstr("complete -o filenames -F _tarrowin_cli tarrowin-cli"));
    EXPECT_THAT(manText, HasSubstr(".SH \"EXIT STATUS\""));
}

TEST(CliScripting, dashIsStandardInputOrOutput)
{
    TempFolder tmp;
    tmp.save("a.lgp", Write(ArchiveOf({{"a.tex", B("AAAA")}, {"b.p", B("")}})));
    const RunResult entry = Shell(tmp, "extract a.lgp A.TEX -");
    EXPECT_EQ(entry.code, 0);
    EXPECT_EQ(entry.out, "AAAA");
    EXPECT_FALSE(std::filesystem::exists(tmp.file("-")));
    EXPECT_EQ(Shell(tmp, "extract a.lgp b.p -").out, "");

    // Through a pipe both ways: stored, then decoded back.
    tmp.save("plain", B("Hello, Hello, Hello, pipes"));
    const RunResult round = Shell(tmp, "lzs-encode - - < plain | " TARROWIN_CLI " lzs-decode - -");
    EXPECT_EQ(round.code, 0);
    EXPECT_EQ(round.out, "Hello, Hello, Hello, pipes");
    const RunResult toFile = Shell(tmp, "lzs-encode - stored.lzs < plain");
    EXPECT_EQ(toFile.code, 0);
    EXPECT_EQ(Shell(tmp, "lzs-decode stored.lzs -").out, "Hello, Hello, Hello, pipes");
}
