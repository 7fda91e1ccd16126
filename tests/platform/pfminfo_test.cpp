// Platform identification over a table of machines: what uname prints and
// which release files exist.
#include "package_fixture.h"
#include "pfminfo_internal.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Machine {
    const char *name;
    std::string hardware; // shell command standing in for "uname -i"
    std::string redhat;   // release file contents; "-" absent, "/" a directory, "|" a FIFO
    std::string suse;
    std::string osRelease;
    const char *message; // null: identified
    int32_t distribution, release, architecture;
    std::string machine = "printf 'x86_64\\n'"; // stands in for "uname -m"
};

std::string printed(const std::string &text)
{
    std::string cmd = "printf '";
    for (char c : text)
        cmd += c == '\n' ? std::string("\\n") : std::string(1, c);
    return cmd + "'";
}

const std::string NONE = "-";
// A FIFO that nobody writes to: opening it to read waits for a writer.
const std::string FIFO = "|";

const Machine machines[] = {
    {"SuSE server", printed("x86_64\n"), NONE, "Server 11 (x86_64)\nVERSION = 11\nPATCHLEVEL = 1\n", NONE, nullptr, 2,
     11, 2},
    {"Red Hat on i386", printed("i386\n"), "Enterprise Server release 5.4 (Final)\n", NONE, NONE, nullptr, 3, 5, 1},
    {"Novell on ppc64", printed("ppc64\n"), NONE, "Novell Linux Desktop 9 (ppc)\nVERSION = 9\n", NONE, nullptr, 4, 9,
     3},
    {"i686 is no hardware name", printed("i686\n"), "Enterprise Server release 6\n", NONE, NONE,
     "Unknown processor architecture (i686)", 3, 6, 0},
    {"uname fails", "exit 1", NONE, "Desktop 10\nVERSION = 10.1\n", NONE, "Failed executing uname.", 2, 10, 0},
    {"no release file", printed("x86_64\n"), NONE, NONE, NONE, "Unknown distribution.", 0, -1, 2},
    {"Red Hat file wins and lacks the token", printed("x86_64\n"), "Fedora\n", "VERSION = 11\n", NONE,
     "Failed locating release token.", 3, -1, 2},
    {"uname prints nothing", "true", NONE, "VERSION = 11\n", NONE, "Failed reading uname output.", 2, 11, 0},
    {"name with a digit more", printed("i3860\n"), NONE, "VERSION = 11\n", NONE,
     "Unknown processor architecture (i3860)", 2, 11, 0},
    {"upper case I386", printed("I386\n"), NONE, "VERSION = 11\n", NONE, "Unknown processor architecture (I386)", 2, 11,
     0},
    {"X86_64 in capitals", printed("X86_64\n"), NONE, "VERSION = 11\n", NONE, nullptr, 2, 11, 2},
    {"x86-64 with a dash", printed("x86-64\n"), NONE, "VERSION = 11\n", NONE, "Unknown processor architecture (x86-64)",
     2, 11, 0},
    {"ppc alone", printed("ppc\n"), NONE, "VERSION = 11\n", NONE, nullptr, 2, 11, 3},
    {"leading newline", printed("\nx86_64\n"), NONE, "VERSION = 11\n", NONE, "Unknown processor architecture ()", 2, 11,
     0},
    {"two blanks after the token", printed("i386\n"), NONE, "VERSION =  11\n", NONE, nullptr, 2, 0, 1},
    {"two blanks after release", printed("i386\n"), "Server release  5\n", NONE, NONE, nullptr, 3, 0, 1},
    {"novell in lower case", printed("i386\n"), NONE, "novell desktop\nVERSION = 9\n", NONE, nullptr, 2, 9, 1},
    {"Novell in the Red Hat file", printed("i386\n"), "Novell release 9\n", NONE, NONE, nullptr, 3, 9, 1},
    {"a directory is no release file", printed("i386\n"), "/", "VERSION = 12\n", NONE, nullptr, 2, 12, 1},
    {"empty release file", printed("i386\n"), "", NONE, NONE, "Failed reading release file.", 3, -1, 1},
    {"token behind byte 2047", printed("i386\n"), std::string(2047, 'x') + "release 5\n", NONE, NONE,
     "Failed locating release token.", 3, -1, 1},
    {"token just inside", printed("i386\n"), std::string(2036, 'x') + "release 5\n", NONE, NONE, nullptr, 3, 5, 1},
    // The last byte read is byte 2047: a digit there counts, one behind it not.
    {"release digit is byte 2047", printed("i386\n"), std::string(2038, 'x') + "release 7\n", NONE, NONE, nullptr, 3, 7,
     1},
    {"release digit is byte 2048", printed("i386\n"), std::string(2039, 'x') + "release 7\n", NONE, NONE, nullptr, 3, 0,
     1},
    {"os-release ID ends at byte 2047", printed("x86_64\n"), NONE, NONE,
     "VERSION_ID=12\n" + std::string(2023, '#') + "\nID=debian", nullptr, 5, 12, 2},
    {"os-release ID ends at byte 2048", printed("x86_64\n"), NONE, NONE,
     "VERSION_ID=12\n" + std::string(2024, '#') + "\nID=debian", "Unknown distribution.", 0, -1, 2},
    // A release file that is no regular file is one that cannot be opened.
    {"Red Hat release file is a FIFO", printed("x86_64\n"), FIFO, "VERSION = 11\n", NONE,
     "Failed opening release file.", 3, -1, 2},
    {"SuSE release file is a FIFO", printed("x86_64\n"), NONE, FIFO, NONE, "Failed opening release file.", 2, -1, 2},
    {"os-release is a FIFO", printed("x86_64\n"), NONE, NONE, FIFO, "Failed opening release file.", 0, -1, 2},
    {"os-release is a character device", printed("x86_64\n"), NONE, NONE, "/dev/zero", "Failed opening release file.",
     0, -1, 2},
    // uname -i knows nothing on many current distributions: ask uname -m.
    {"unknown hardware, x86_64 machine", printed("unknown\n"), NONE, "VERSION = 15\n", NONE, nullptr, 2, 15, 2},
    {"unknown hardware, i686 machine", printed("unknown\n"), NONE, "VERSION = 15\n", NONE, nullptr, 2, 15, 1,
     printed("i686\n")},
    {"unknown hardware, i486 machine", printed("unknown\n"), NONE, "VERSION = 15\n", NONE, nullptr, 2, 15, 1,
     printed("i486\n")},
    {"unknown hardware, ppc64le machine", printed("unknown\n"), NONE, "VERSION = 15\n", NONE, nullptr, 2, 15, 3,
     printed("ppc64le\n")},
    // Only the ARM build knows an ARM machine; this one is an Intel build.
    {"unknown hardware, aarch64 machine", printed("unknown\n"), NONE, "VERSION = 15\n", NONE,
     "Unknown processor architecture (aarch64)", 2, 15, 0, printed("aarch64\n")},
    {"unknownx is not unknown", printed("unknownx\n"), NONE, "VERSION = 15\n", NONE,
     "Unknown processor architecture (unknownx)", 2, 15, 0},
    // Only os-release on current releases; the legacy files win.
    {"SLES 15 by os-release", printed("unknown\n"), NONE, NONE, "NAME=\"SLES\"\nVERSION_ID=\"15.4\"\nID=\"sles\"\n",
     nullptr, 2, 15, 2},
    {"openSUSE Leap", printed("x86_64\n"), NONE, NONE, "ID=opensuse-leap\nVERSION_ID=\"15.5\"\n", nullptr, 2, 15, 2},
    {"Rocky 9", printed("x86_64\n"), NONE, NONE, "ID=\"rocky\"\nVERSION_ID=\"9.3\"\n", nullptr, 3, 9, 2},
    {"Fedora 39", printed("x86_64\n"), NONE, NONE, "ID=fedora\nVERSION_ID=39\n", nullptr, 3, 39, 2},
    {"Debian 12", printed("x86_64\n"), NONE, NONE, "ID=debian\nVERSION_ID=\"12\"\n", nullptr, 5, 12, 2},
    {"Ubuntu 22.04", printed("x86_64\n"), NONE, NONE, "ID=ubuntu\nID_LIKE=debian\nVERSION_ID=\"22.04\"\n", nullptr, 6,
     22, 2},
    {"Debian testing has no version", printed("x86_64\n"), NONE, NONE, "ID=debian\n", "Failed locating release token.",
     5, -1, 2},
    // Derivatives by the first family of ID_LIKE that we know; the release
    // is always their own.
    {"Oracle Linux by ID_LIKE", printed("x86_64\n"), NONE, NONE, "ID_LIKE=\"fedora\"\nID=ol\nVERSION_ID=8.9\n", nullptr,
     3, 8, 2},
    {"Linux Mint is Ubuntu-like", printed("x86_64\n"), NONE, NONE,
     "ID=linuxmint\nID_LIKE=\"ubuntu debian\"\nVERSION_ID=\"21.2\"\n", nullptr, 6, 21, 2},
    {"openSUSE Tumbleweed", printed("x86_64\n"), NONE, NONE,
     "ID=\"opensuse-tumbleweed\"\nID_LIKE=\"opensuse suse\"\nVERSION_ID=\"20240101\"\n", nullptr, 2, 20240101, 2},
    {"unknown words before a known one", printed("x86_64\n"), NONE, NONE,
     "ID=kali\nID_LIKE='arch gentoo debian'\nVERSION_ID=2024.1\n", nullptr, 5, 2024, 2},
    {"ID_LIKE of unknown families only", printed("x86_64\n"), NONE, NONE, "ID=manjaro\nID_LIKE=arch\nVERSION_ID=23\n",
     "Unknown distribution.", 0, -1, 2},
    {"ID wins over ID_LIKE", printed("x86_64\n"), NONE, NONE, "ID=ubuntu\nID_LIKE=rhel\nVERSION_ID=24.04\n", nullptr, 6,
     24, 2},
    {"os-release without a version", printed("x86_64\n"), NONE, NONE, "ID=rhel\n", "Failed locating release token.", 3,
     -1, 2},
    {"legacy file wins over os-release", printed("x86_64\n"), NONE, "VERSION = 11\n", "ID=rhel\nVERSION_ID=9\n",
     nullptr, 2, 11, 2},
};

std::string place(const std::string &dir, const char *name, const std::string &contents)
{
    std::string path = dir + "/" + name;
    if (contents == "/")
        mkdir(path.c_str(), 0755);
    else if (contents == FIFO)
        mkfifo(path.c_str(), 0644);
    else if (contents.starts_with("/dev/"))
        symlink(contents.c_str(), path.c_str());
    else if (contents != NONE)
        writeFile(path, contents);
    return path;
}

TEST(PlatformIdentification, IdentifiesEveryMachineOfTheTable)
{
    // Also with standard input closed (cron, daemons): a release file then
    // opens as descriptor 0, which is a file like any other.
    for (bool stdinClosed : {false, true})
        for (const auto &m : machines) {
            int savedStdin = stdinClosed ? dup(0) : -1;
            if (stdinClosed)
                close(0);
            std::string dir = scratchDir();
            std::string redhat = place(dir, "redhat-release", m.redhat);
            std::string suse = place(dir, "SuSE-release", m.suse);
            std::string os = place(dir, "os-release", m.osRelease);
            PfmSources sources{m.hardware.c_str(), m.machine.c_str(), redhat.c_str(), suse.c_str(), os.c_str()};
            PlatformInfo info{77, 77, 77};
            const char *message = getPfmInfoFrom(&info, sources);
            if (stdinClosed) {
                dup2(savedStdin, 0);
                close(savedStdin);
            }
            EXPECT_STREQ(message, m.message) << m.name << (stdinClosed ? ", standard input closed" : "");
            EXPECT_EQ(info.distribution, m.distribution) << m.name;
            EXPECT_EQ(info.release, m.release) << m.name;
            EXPECT_EQ(info.architecture, m.architecture) << m.name;
        }
}

TEST(PlatformIdentification, MessagesOfEarlierCallsStayValid)
{
    std::string dir = scratchDir();
    std::string suse = place(dir, "SuSE-release", "VERSION = 1\n");
    std::string a = "printf 'first'", b = "printf 'second'";
    PlatformInfo info;
    const char *first = getPfmInfoFrom(&info, {a.c_str(), "true", "/none", suse.c_str(), "/none"});
    const char *second = getPfmInfoFrom(&info, {b.c_str(), "true", "/none", suse.c_str(), "/none"});
    EXPECT_STREQ(first, "Unknown processor architecture (first)");
    EXPECT_STREQ(second, "Unknown processor architecture (second)");
}

TEST(PlatformIdentification, LongPlatformNamesAreShortenedToFitTheMessage)
{
    std::string dir = scratchDir();
    std::string suse = place(dir, "SuSE-release", "VERSION = 1\n");
    for (std::size_t len : {93ul, 94ul, 95ul, 2000ul}) {
        std::string name(len, 'n');
        std::string cmd = "printf '" + name + "'";
        PlatformInfo info;
        const char *message = getPfmInfoFrom(&info, {cmd.c_str(), "true", "/none", suse.c_str(), "/none"});
        std::string shown = name.substr(0, 94);
        EXPECT_EQ(std::string(message), "Unknown processor architecture (" + shown + ")") << len;
        EXPECT_LE(std::strlen(message), 127u);
    }
}

} // namespace
