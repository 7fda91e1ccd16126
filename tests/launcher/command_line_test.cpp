// Assembly of the tool's command line and the split at a leading directory
// change.
#include "command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

CommandRecord record(const std::string &command, const std::string &arguments, int32_t always)
{
    CommandRecord rec{};
    std::strncpy(rec.command, command.c_str(), RECORD_COMMAND_SIZE);
    std::strncpy(rec.arguments, arguments.c_str(), RECORD_ARGUMENTS_SIZE);
    rec.alwaysAppendArguments = always;
    return rec;
}

struct Assembled {
    std::string line;
    bool split;
    std::string dir;
    bool whole;
};

Assembled assemble(const std::string &command, const std::string &arguments, int32_t always,
                   std::vector<std::string> userArgs)
{
    CommandRecord rec = record(command, arguments, always);
    std::vector<char *> argv;
    std::string self = "pkg.run";
    argv.push_back(self.data());
    for (auto &a : userArgs)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    char line[COMMAND_LINE_SIZE];
    std::size_t recordEnd = 0;
    bool whole = assembleCommandLine(&rec, int(argv.size() - 1), argv.data(), line, &recordEnd);
    char dir[DIRECTORY_NAME_SIZE] = "untouched";
    bool split = splitDirectoryChange(line, recordEnd, dir);
    return {line, split, split ? dir : "-", whole};
}

struct LineCase {
    const char *name;
    std::string command;
    std::string arguments;
    int32_t always;
    std::vector<std::string> userArgs;
    std::string line;
    std::string dir; // "-": not split
};

const LineCase lineCases[] = {
    {"no arguments at all", "./linmain.sh", "", 0, {}, "./linmain.sh ", "-"},
    {"user arguments quoted", "./linmain.sh", "", 0, {"-v", "a b"}, "./linmain.sh \"-v\" \"a b\"", "-"},
    {"defaults dropped with user arguments",
     "cd disk1 ; ./run.sh",
     "-x",
     0,
     {"a", "b\"c"},
     "./run.sh \"a\" \"b\\\"c\"",
     "disk1"},
    {"defaults always appended", "cd disk1 ; ./run.sh", "-x", 1, {"x\\"}, "./run.sh -x \"x\\\\\"", "disk1"},
    {"any non-zero flag appends", "./run.sh", "-x", 2, {"y"}, "./run.sh -x \"y\"", "-"},
    {"double ampersand", "cd disk1 && ./run.sh", "", 0, {}, "./run.sh ", "disk1"},
    {"first part without cd", "./prep.sh ; ./run.sh", "", 0, {"y"}, "./run.sh \"y\"", ""},
    {"empty argument", "./t", "", 0, {""}, "./t \"\"", "-"},
    {"backslash inside", "./t", "", 0, {"a\\\"b"}, "./t \"a\\\\\\\"b\"", "-"},
    {"lone backslash", "./t", "", 0, {"\\"}, "./t \"\\\\\"", "-"},
    {"expansions stay literal",
     "./t",
     "",
     0,
     {"$HOME", "$(id)", "`id`"},
     "./t \"\\$HOME\" \"\\$(id)\" \"\\`id\\`\"",
     "-"},
    {"newline inside", "./t", "", 0, {"a\nb"}, "./t \"a\nb\"", "-"},
    {"separator last in the line runs whole", "cd disk1 ; ./run.sh", "-q &", 0, {}, "cd disk1 ; ./run.sh -q &", "-"},
    {"separator first in the line runs whole", ";./run.sh", "", 0, {"q"}, ";./run.sh \"q\"", "-"},
    {"separator in a user argument stays there", "./linmain.sh", "", 0, {"a;b"}, "./linmain.sh \"a;b\"", "-"},
    {"ampersand in a user argument", "./linmain.sh", "", 0, {"c&d", "e"}, "./linmain.sh \"c&d\" \"e\"", "-"},
    {"background command before an argument", "./daemon &", "", 0, {"q"}, "\"q\"", ""},
    {"no blanks around the separator", "cd disk1;./run.sh", "", 0, {}, "./run.sh ", "disk1"},
    {"no blanks around a double ampersand", "cd disk1&&./run.sh", "", 0, {}, "./run.sh ", "disk1&"},
    {"first word only", "cd my dir ; ./run.sh", "", 0, {}, "./run.sh ", "my"},
    {"cd inside a word", "mount /mnt/cdrom ; ./run.sh", "", 0, {}, "./run.sh ", "rom"},
    {"only the first change", "cd a ; cd b ; ./run.sh", "", 0, {}, "./run.sh ", "a"},
    {"tab after cd", "cd\tdisk1 ; ./run.sh", "", 0, {}, "./run.sh ", ""},
    {"upper case CD", "CD disk1 ; ./run.sh", "", 0, {}, "./run.sh ", ""},
    {"nothing after the separator", "cd disk1 ;   ", "", 0, {}, "", "disk1"},
    {"separator in the defaults", "./a", "x ; ./b", 1, {"u"}, "./b \"u\"", ""},
};

TEST(CommandLine, AssemblesAndSplitsEveryExample)
{
    for (const auto &c : lineCases) {
        Assembled a = assemble(c.command, c.arguments, c.always, c.userArgs);
        EXPECT_EQ(a.line, c.line) << c.name;
        EXPECT_EQ(a.dir, c.dir) << c.name;
    }
}

TEST(CommandLine, ALineThatDoesNotFitIsReportedNeverRunCut)
{
    // "./x" plus, per argument, a blank, two quotes and its characters; the
    // line holds COMMAND_LINE_SIZE - 1 = 2047 characters.
    struct Length {
        std::vector<std::string> args;
        bool whole;
    } lengths[] = {
        {{std::string(2040, 'a')}, true},
        {{std::string(2041, 'a')}, true},
        {{std::string(2042, 'a')}, false},
        {{std::string(3000, 'a')}, false},
        // A first argument that leaves room for the second, or one too few.
        {{std::string(2032, 'a'), "second"}, true},
        {{std::string(2033, 'a'), "second"}, false},
        // Many short arguments: 511 of four characters each, then one more.
        {std::vector<std::string>(511, "a"), true},
        {std::vector<std::string>(512, "a"), false},
        // Escapes count: each quote inside takes two characters.
        {{std::string(1020, '"')}, true},
        {{std::string(1021, '"')}, false},
    };
    for (const auto &l : lengths) {
        Assembled a = assemble("./x", "", 0, l.args);
        std::size_t need = 3;
        for (const auto &arg : l.args)
            need += 3 + arg.size() + std::count(arg.begin(), arg.end(), '"');
        EXPECT_EQ(a.whole, l.whole) << l.args.size() << " arguments, " << need << " characters";
        EXPECT_EQ(a.whole, need <= COMMAND_LINE_SIZE - 1) << need;
        if (a.whole) {
            EXPECT_EQ(a.line.size(), need);
        }
        EXPECT_LE(a.line.size(), std::size_t(COMMAND_LINE_SIZE - 1));
    }
}

TEST(CommandLine, AppendsOneCharacterOnlyWhileItFits)
{
    char buf[6] = {};
    std::memset(buf, 'Z', sizeof buf);
    buf[0] = '\0';
    const char expect[][5] = {"a", "ab", "abc", "abcd", "abcd", "abcd"};
    for (std::size_t i = 0; i < 6; ++i) {
        std::size_t before = std::strlen(buf);
        EXPECT_EQ(strcat_ch(buf, char('a' + i), 5), before);
        EXPECT_STREQ(buf, expect[i]);
    }
    EXPECT_EQ(buf[5], 'Z');
}

TEST(CommandLine, QuotesAShellWordWithinItsBuffer)
{
    struct Case {
        const char *text;
        std::size_t cap;
        const char *quoted; // null: does not fit
    } cases[] = {
        {"a b", 6, "\"a b\""},
        {"a b", 5, nullptr},
        {"x\";touch INJECTED;\"", 64, "\"x\\\";touch INJECTED;\\\"\""},
        {"$HOME`id`\\", 64, "\"\\$HOME\\`id\\`\\\\\""},
        {"", 3, "\"\""},
        {"", 2, nullptr},
    };
    for (const auto &c : cases) {
        char buf[80];
        std::memset(buf, 'Z', sizeof buf);
        EXPECT_EQ(quoteShellWord(c.text, buf, c.cap), c.quoted != nullptr) << c.text;
        EXPECT_STREQ(buf, c.quoted ? c.quoted : "") << c.text;
        EXPECT_EQ(buf[c.cap], 'Z') << c.text;
    }
}

} // namespace
