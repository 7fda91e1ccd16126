// What the tool receives: the operator's arguments, the record's defaults and
// the directory it runs in.
#include "launcher_harness.h"

namespace {

// Writes each argument it receives between angle brackets, and where it ran.
const char *const ARGS_TOOL =
    "{ pwd; for a in \"$@\"; do printf '<%s>' \"$a\"; done; } > \"$QUARN_PORTABLE_EXEC_DIR/args\"";

TEST(CommandLine, HostileArgumentsArriveByteForByte)
{
    LauncherHarness h;
    h.writePackage(toolImage(ARGS_TOOL));
    std::vector<std::string> args = {"$HOME",
                                     "$(touch INJECTED)",
                                     "`touch INJECTED`",
                                     "a\\\"b",
                                     "a;b",
                                     "c&d",
                                     "",
                                     "two\nlines",
                                     "\\",
                                     "x\\",
                                     "'single'",
                                     "*",
                                     "a b"};
    SandboxResult r = h.run(args, {"HOME=/should/not/appear"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string expected = "/tmp/portable_install_00000000\n";
    for (const auto &a : args)
        expected += "<" + a + ">";
    EXPECT_EQ(readFile(h.dir + "/args"), expected);
    EXPECT_FALSE(fileThere(h.dir + "/INJECTED"));
    EXPECT_EQ(r.out, "Extracting...\nExecuting...\n\n\n");
}

TEST(CommandLine, DefaultArgumentsAreShellTextOfThePackage)
{
    struct Case {
        const char *arguments;
        int32_t always;
        std::vector<std::string> user;
        std::string seen;
    } cases[] = {
        {"-x 'two words'", 0, {}, "<-x><two words>"},
        {"-x 'two words'", 0, {"u"}, "<u>"},
        {"-x 'two words'", 1, {"u"}, "<-x><two words><u>"},
        {"", 0, {}, ""},
    };
    for (const auto &c : cases) {
        LauncherHarness h;
        h.writePackage(standardPackage(toolImage(ARGS_TOOL), "./tool.sh", c.arguments, c.always));
        SandboxResult r = h.run(c.user);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(readFile(h.dir + "/args"), "/tmp/portable_install_00000000\n" + c.seen) << c.arguments;
    }
}

TEST(CommandLine, ALeadingDirectoryChangeIsDoneByTheLauncher)
{
    struct Case {
        const char *command;
        std::string out;
        std::string dir;
    } cases[] = {
        {"cd disk1 ; ./run.sh", "", "/disk1"},
        {"cd disk1 && ./run.sh", "", "/disk1"},
        {"cd disk1;./run.sh", "", "/disk1"},
        {"cd disk1&&./disk1/run.sh", "Failed to change to directory disk1&\n", ""},
        {"./prep.sh ; disk1/run.sh", "Failed to change to directory \n", ""},
    };
    for (const auto &c : cases) {
        LauncherHarness h;
        std::string image = toolImage("exit 1",
                                      {{"disk1/run.sh", std::string("#!/bin/sh\n") + ARGS_TOOL + "\n", 0755},
                                       {"prep.sh", "#!/bin/sh\ntouch \"$QUARN_PORTABLE_EXEC_DIR/prep\"\n", 0755}});
        h.writePackage(image, c.command);
        SandboxResult r = h.run({"arg"});
        ASSERT_EQ(r.status, 0) << c.command << "\n" << r.err;
        EXPECT_EQ(r.out, "Extracting...\n" + c.out + "Executing...\n\n\n") << c.command;
        EXPECT_EQ(readFile(h.dir + "/args"), "/tmp/portable_install_00000000" + c.dir + "\n<arg>") << c.command;
        EXPECT_FALSE(fileThere(h.dir + "/prep")) << "the part before the separator never runs";
        EXPECT_EQ(r.tmpAfter, "");
    }
}

TEST(CommandLine, ArgumentsThatDoNotFitTheLineAreRefusedNeverDropped)
{
    // "./tool.sh" and, per argument, a blank, two quotes and its characters:
    // the line holds 2047 characters.
    const std::string refused = "The command line for the tool would exceed 2047 characters; nothing was run.\n";
    struct Case {
        std::vector<std::string> args;
        bool runs;
    } cases[] = {
        {{std::string(2035, 'a')}, true},
        {{std::string(2036, 'a')}, false},
        {{std::string(2026, 'a'), "second"}, true},
        {{std::string(2027, 'a'), "second"}, false},
        {std::vector<std::string>(509, "x"), true},
        {std::vector<std::string>(510, "x"), false},
        {{std::string(3000, 'a'), "--dry-run"}, false},
    };
    for (const auto &c : cases) {
        LauncherHarness h;
        h.writePackage(toolImage(ARGS_TOOL));
        SandboxResult r = h.run(c.args);
        std::string expected = "/tmp/portable_install_00000000\n";
        for (const auto &a : c.args)
            expected += "<" + a + ">";
        if (c.runs) {
            EXPECT_EQ(r.status, 0) << c.args.size() << r.err;
            EXPECT_EQ(readFile(h.dir + "/args"), expected) << c.args.size();
        } else {
            EXPECT_EQ(r.status, 1) << c.args.size();
            EXPECT_EQ(r.err, refused);
            EXPECT_EQ(r.out, "");
            EXPECT_FALSE(fileThere(h.dir + "/args"));
        }
        EXPECT_EQ(r.tmpAfter, "");
        EXPECT_EQ(r.shmAfter, "");
    }
}

} // namespace
