// The support utilities on real files, and on a private root for the ones
// that work on fixed system paths (/mnt/key, /tmp/embed, /vesk).
#include "osspecific.h"

#include "package_fixture.h"
#include "sandbox.h"
#include "support_helpers.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Report = std::map<std::string, std::string>;

// Cases are shown and named by their titles.
constexpr auto byTitle = [](const auto &p) {
    std::string name = p.param.title;
    for (char &ch : name)
        ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name;
};

void setMtime(const std::string &path, time_t seconds)
{
    timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// ---- A private root for code with fixed system paths ---------------------

[[noreturn]] void setupFailed(int out, const char *step)
{
    std::string text = std::string("setup failed") + '\0' + step + ": " + std::strerror(errno) + '\0';
    (void)!write(out, text.data(), text.size());
    _exit(3);
}

// Runs body in a child whose root is a fresh tmpfs in a private mount
// namespace: the machine's /usr, /etc, /dev, /proc and /sys are bound into it
// (with /bin, /lib and the like as on the machine), while /tmp, /vesk,
// /mnt/key and /run are new and empty. Returns the report that body made; it
// holds "setup failed" when the private root could not be made.
Report inPrivateRoot(const std::function<Report()> &body)
{
    std::string root = scratchDir() + "/root";
    fs::create_directories(root);
    ChildResult child = runInChild([&](int out) {
        if (unshare(CLONE_NEWNS) != 0)
            setupFailed(out, "unshare");
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            setupFailed(out, "private /");
        if (mount("tmpfs", root.c_str(), "tmpfs", 0, "mode=755") != 0)
            setupFailed(out, "tmpfs root");
        for (const char *name :
             {"usr", "etc", "dev", "proc", "sys", "bin", "sbin", "lib", "lib32", "lib64", "libx32"}) {
            std::string from = std::string("/") + name, to = root + from;
            struct stat st;
            char target[PATH_MAX];
            if (lstat(from.c_str(), &st) != 0)
                continue;
            if (S_ISLNK(st.st_mode)) {
                ssize_t n = readlink(from.c_str(), target, sizeof target - 1);
                target[n < 0 ? 0 : n] = '\0';
                if (symlink(target, to.c_str()) != 0)
                    setupFailed(out, "link");
            } else if (mkdir(to.c_str(), 0755) != 0 ||
                       mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
                setupFailed(out, name);
            }
        }
        for (const char *dir : {"/tmp", "/vesk", "/mnt", "/mnt/key", "/run"})
            if (mkdir((root + dir).c_str(), 0755) != 0)
                setupFailed(out, dir);
        chmod((root + "/tmp").c_str(), 01777);
        if (chroot(root.c_str()) != 0 || chdir("/") != 0)
            setupFailed(out, "chroot");
        std::string text;
        for (const auto &[key, value] : body())
            text += key + '\0' + value + '\0';
        return write(out, text.data(), text.size()) == ssize_t(text.size()) ? 0 : 3;
    });
    const std::string &text = child.output;
    Report report;
    for (size_t pos = 0; pos < text.size();) {
        size_t keyEnd = text.find('\0', pos), valueEnd = text.find('\0', keyEnd + 1);
        report[text.substr(pos, keyEnd - pos)] = text.substr(keyEnd + 1, valueEnd - keyEnd - 1);
        pos = valueEnd + 1;
    }
    if (child.status != 0 && !report.count("setup failed"))
        report["setup failed"] = "child ended with status " + std::to_string(child.status);
    return report;
}

#define SKIP_WITHOUT_PRIVATE_ROOT(report)                                                                              \
    if ((report).count("setup failed") && (report)["setup failed"].starts_with("unshare"))                             \
        GTEST_SKIP() << "no private mount namespace: " << (report)["setup failed"];                                    \
    ASSERT_EQ((report).count("setup failed"), 0u) << (report)["setup failed"]

bool isMounted(const char *mountPoint)
{
    std::string mounts = readFile("/proc/self/mounts");
    return mounts.find(std::string(" ") + mountPoint + " ") != std::string::npos;
}

// ---- findLatestFile --------------------------------------------------------

struct Entry {
    std::string name;
    time_t mtime;
    enum Kind { File, Dir, LinkToOutside, LinkToDir, Dangling } kind = File;
};

struct LatestCase {
    const char *title;
    std::vector<Entry> entries;
    const char *suffix;
    const char *expected; // name of the entry returned, or null
};
void PrintTo(const LatestCase &c, std::ostream *os)
{
    *os << c.title;
}

class FindLatestFile : public ::testing::TestWithParam<LatestCase> {};

TEST_P(FindLatestFile, PicksNewestMatchingNonDirectory)
{
    const LatestCase &c = GetParam();
    std::string base = scratchDir(), dir = base + "/logs/";
    fs::create_directories(dir);
    for (const Entry &e : c.entries) {
        std::string path = dir + e.name, outside = base + "/target-" + e.name;
        switch (e.kind) {
        case Entry::File: writeFile(path, e.name); break;
        case Entry::Dir: fs::create_directory(path); break;
        case Entry::LinkToOutside:
            writeFile(outside, "t");
            setMtime(outside, e.mtime);
            fs::create_symlink(outside, path);
            break;
        case Entry::LinkToDir:
            fs::create_directory(outside);
            fs::create_directory_symlink(outside, path);
            break;
        case Entry::Dangling: fs::create_symlink(outside, path); break;
        }
        if (e.kind == Entry::File || e.kind == Entry::Dir)
            setMtime(path, e.mtime);
    }
    int fdsBefore = openFdCount();
    char *found = findLatestFile(dir.c_str(), c.suffix);
    EXPECT_EQ(openFdCount(), fdsBefore);
    if (c.expected)
        EXPECT_STREQ(found, (dir + c.expected).c_str());
    else
        EXPECT_EQ(found, nullptr) << found;
    std::free(found);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindLatestFile,
    ::testing::Values(
        LatestCase{
            "newest of the suffix", {{"a.log", 100}, {"b.log", 300}, {"c.log", 200}, {"d.txt", 900}}, ".log", "b.log"},
        LatestCase{"suffix is case sensitive", {{"A.LOG", 500}, {"a.log", 100}}, ".log", "a.log"},
        LatestCase{"name shorter than suffix", {{"log", 900}, {"a.log", 100}}, ".log", "a.log"},
        LatestCase{"time 0 never counts", {{"a.log", 0}}, ".log", nullptr},
        LatestCase{"time before 1970 never counts", {{"a.log", -50}, {"b.log", 0}}, ".log", nullptr},
        LatestCase{"no match", {{"a.txt", 100}}, ".log", nullptr},
        LatestCase{"directory passed over", {{"new.log", 900, Entry::Dir}, {"old.log", 100}}, ".log", "old.log"},
        LatestCase{"link counts with the target's time",
                   {{"z.log", 700, Entry::LinkToOutside}, {"a.log", 100}},
                   ".log",
                   "z.log"},
        LatestCase{
            "link's own time is not used", {{"z.log", 50, Entry::LinkToOutside}, {"a.log", 100}}, ".log", "a.log"},
        LatestCase{"dangling link and link to directory passed over",
                   {{"x.log", 0, Entry::Dangling}, {"y.log", 0, Entry::LinkToDir}, {"a.log", 100}},
                   ".log",
                   "a.log"},
        LatestCase{
            "empty suffix: newest non-directory", {{"a.log", 100}, {"b", 200}, {"sub", 900, Entry::Dir}}, "", "b"},
        LatestCase{"name over 127 characters passed over",
                   {{std::string(150, 'n') + ".log", 900}, {"short.log", 100}},
                   ".log",
                   "short.log"}),
    byTitle);

TEST(FindLatestFileTies, FirstOfTheStreamWins)
{
    std::string dir = scratchDir() + "/";
    for (const char *name : {"p.log", "q.log", "r.log", "s.log"}) {
        writeFile(dir + name, name);
        setMtime(dir + name, 1000);
    }
    std::string first;
    for (const auto &e : fs::directory_iterator(dir))
        if (first.empty())
            first = e.path().filename();
    char *found = findLatestFile(dir.c_str(), ".log");
    EXPECT_STREQ(found, (dir + first).c_str());
    std::free(found);
}

// The directory text and the name are joined without a separator, so a
// directory path without its final "/" finds its neighbours' names.
TEST(FindLatestFileTies, DirectoryWithoutFinalSeparator)
{
    std::string base = scratchDir(), dir = base + "/d";
    fs::create_directories(dir);
    writeFile(dir + "/a.txt", "inside");
    setMtime(dir + "/a.txt", 100);
    char *found = findLatestFile(dir.c_str(), ".txt");
    EXPECT_EQ(found, nullptr);
    std::free(found);

    writeFile(base + "/da.txt", "beside");
    setMtime(base + "/da.txt", 100);
    found = findLatestFile(dir.c_str(), ".txt");
    EXPECT_STREQ(found, (base + "/da.txt").c_str());
    std::free(found);
}

TEST(FindLatestFileTies, UnusableDirectoryOrLongPaths)
{
    std::string base = scratchDir();
    writeFile(base + "/plain", "x");
    EXPECT_EQ(findLatestFile((base + "/missing/").c_str(), ""), nullptr);
    EXPECT_EQ(findLatestFile((base + "/plain").c_str(), ""), nullptr);

    // A candidate path over 511 characters is passed over, a shorter one found.
    std::string deep = base;
    while (deep.size() < 400)
        deep += "/" + std::string(40, 'd');
    deep += "/";
    fs::create_directories(deep);
    std::string longName = std::string(120, 'l') + ".log";
    writeFile(deep + longName, "x");
    setMtime(deep + longName, 900);
    writeFile(deep + "s.log", "x");
    setMtime(deep + "s.log", 100);
    char *found = findLatestFile(deep.c_str(), ".log");
    EXPECT_STREQ(found, (deep + "s.log").c_str());
    std::free(found);
}

// ---- readDevice ------------------------------------------------------------

struct WordCase {
    const char *title;
    std::string content;
    int result;
    std::string text; // expected text; unused when result is 0
};
void PrintTo(const WordCase &c, std::ostream *os)
{
    *os << c.title;
}

class ReadDevice : public ::testing::TestWithParam<WordCase> {};

TEST_P(ReadDevice, FirstWordWithinThirtyTwoBytes)
{
    const WordCase &c = GetParam();
    std::string path = scratchDir() + "/device";
    writeFile(path, c.content);
    char buffer[48];
    std::memset(buffer, '#', sizeof buffer);
    int fdsBefore = openFdCount();
    EXPECT_EQ(readDevice(buffer, path.c_str()), c.result);
    EXPECT_EQ(openFdCount(), fdsBefore);
    if (c.result == 1) {
        EXPECT_EQ(std::string(buffer, strnlen(buffer, 32)), c.text);
    }
    for (size_t i = c.result == 1 ? 32 : 0; i < sizeof buffer; ++i)
        ASSERT_EQ(buffer[i], '#') << "byte " << i << " written";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadDevice,
    ::testing::Values(WordCase{"blanks end the word", "abc     \n", 1, "abc"},
                      WordCase{"line feed is kept", "abc\n def", 1, "abc\n"},
                      WordCase{"tab ends the word", "ab\tcd", 1, "ab"},
                      WordCase{"leading blank gives empty text", " lead", 1, ""},
                      WordCase{"no blank, short file", "word", 1, "word"},
                      WordCase{"no blank in 32 bytes", std::string(40, 'x'), 1, std::string(31, 'x')},
                      WordCase{"blank after 32 bytes", std::string(35, 'y') + " z", 1, std::string(31, 'y')},
                      WordCase{"empty file", "", 0, ""}),
    byTitle);

TEST(ReadDeviceFailures, BufferUntouchedAndNothingLeftOpen)
{
    std::string dir = scratchDir();
    for (const std::string &path : {dir + "/missing", dir}) {
        char buffer[32];
        std::memset(buffer, '#', sizeof buffer);
        int fdsBefore = openFdCount();
        EXPECT_EQ(readDevice(buffer, path.c_str()), 0) << path;
        EXPECT_EQ(openFdCount(), fdsBefore) << path;
        EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(32, '#')) << path;
    }
}

// With standard input closed the file is opened as descriptor 0: it must be
// read and closed like any other.
TEST(ReadDeviceFailures, DescriptorZeroIsAFile)
{
    std::string path = scratchDir() + "/device";
    writeFile(path, "sda1 rest");
    ChildResult child = runInChild([&](int) {
        close(STDIN_FILENO);
        char buffer[32] = "";
        int rc = readDevice(buffer, path.c_str());
        bool closed = fcntl(STDIN_FILENO, F_GETFD) == -1;
        return rc == 1 && std::strcmp(buffer, "sda1") == 0 && closed ? 0 : 1;
    });
    EXPECT_EQ(child.status, 0) << "read or close failed on descriptor 0";
}

// ---- checkForOEM and getDefaultOutputDir -----------------------------------

struct OemCase {
    const char *title;
    const char *setup; // shell commands run in the private root first
    int result;
    bool withoutShell = false; // /bin/sh is gone when the check runs
};
void PrintTo(const OemCase &c, std::ostream *os)
{
    *os << c.title;
}

class CheckForOem : public ::testing::TestWithParam<OemCase> {};

TEST_P(CheckForOem, MarkerInTheDocumentListing)
{
    const OemCase &c = GetParam();
    Report report = inPrivateRoot([&c] {
        Report r;
        r["setup"] = std::to_string(std::system(c.setup));
        if (c.withoutShell)
            rename("/bin", "/bin.gone");
        r["shellGone"] = std::to_string(access("/bin/sh", X_OK) != 0);
        r["stderr"] = captureStderr([&r] {
            r["check"] = std::to_string(checkForOEM());
            r["dir"] = getDefaultOutputDir();
        });
        r["checkFileLeft"] = std::to_string(access("/vesk/oemCheck", F_OK) == 0);
        return r;
    });
    SKIP_WITHOUT_PRIVATE_ROOT(report);
    ASSERT_EQ(report["setup"], "0");
    ASSERT_EQ(report["shellGone"], c.withoutShell ? "1" : "0");
    EXPECT_EQ(report["check"], std::to_string(c.result));
    EXPECT_EQ(report["dir"], c.result == 0 ? "/var/log/OEM_Support/" : "/var/log/QUARN_Support/");
    if (std::strstr(c.setup, "rmdir /vesk") == nullptr) {
        EXPECT_EQ(report["checkFileLeft"], "1");
    }
    if (std::strstr(c.setup, "mkdir") == nullptr && !c.withoutShell) {
        EXPECT_NE(report["stderr"].find("/tmp/embed/docs"), std::string::npos) << "the listing's error";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckForOem,
    ::testing::Values(
        OemCase{"documents missing", "true", 1}, OemCase{"documents empty", "mkdir -p /tmp/embed/docs", 1},
        OemCase{"no marker, capitals do not count",
                "mkdir -p /tmp/embed/docs && touch /tmp/embed/docs/readme.txt /tmp/embed/docs/OEM_notes", 1},
        OemCase{"marker alone", "mkdir -p /tmp/embed/docs && touch /tmp/embed/docs/oem", 0},
        OemCase{"marker inside a name",
                "mkdir -p /tmp/embed/docs && touch /tmp/embed/docs/a.txt /tmp/embed/docs/myoemdoc.pdf", 0},
        OemCase{"marker at the end", "mkdir -p /tmp/embed/docs && touch /tmp/embed/docs/guide_oem", 0},
        OemCase{"an earlier listing does not count", "echo oem > /vesk/oemCheck", 1},
        OemCase{"check file cannot be written", "rmdir /vesk && mkdir -p /tmp/embed/docs && touch /tmp/embed/docs/oem",
                1},
        OemCase{"no shell: an earlier listing does not count", "echo oem > /vesk/oemCheck", 1, true}),
    byTitle);

// ---- mountRemovableMedia and unmountRemovableMedia -------------------------

TEST(RemovableMedia, MountAndUnmountAnImage)
{
    if (access("/dev/loop-control", F_OK) != 0)
        GTEST_SKIP() << "no loop devices on this machine";
    if (access("/usr/sbin/mkfs.ext2", X_OK) != 0 && access("/sbin/mkfs.ext2", X_OK) != 0)
        GTEST_SKIP() << "mkfs.ext2 (e2fsprogs) is not installed";

    Report report = inPrivateRoot([] {
        Report r;
        const char *image = "/tmp/key.img";
        r["image"] = std::to_string(std::system("truncate -s 4M /tmp/key.img && PATH=$PATH:/usr/sbin:/sbin "
                                                "mkfs.ext2 -q -F /tmp/key.img && mount /tmp/key.img /mnt/key "
                                                "&& umount /mnt/key"));
        char mountPoint[16] = "untouched";
        r["mountErr"] = captureStderr([&] { r["mount"] = std::to_string(mountRemovableMedia(image, mountPoint)); });
        r["mountPoint"] = mountPoint;
        r["mounted"] = std::to_string(isMounted("/mnt/key"));
        for (const char *other : {"/mnt/key/", "/MNT/KEY", "/mnt/ke"}) {
            unmountRemovableMedia(image, other);
            r["mountedAfter:" + std::string(other)] = std::to_string(isMounted("/mnt/key"));
        }
        unmountRemovableMedia(image, mountPoint);
        r["mountedAfterUnmount"] = std::to_string(isMounted("/mnt/key"));

        std::string longDevice = "/tmp/" + std::string(240, 'k');
        for (const std::string &bad : {std::string("/tmp/missing.img"), longDevice}) {
            char untouched[16] = "untouched";
            r["badErr:" + bad] = captureStderr(
                [&] { r["bad:" + bad] = std::to_string(mountRemovableMedia(bad.c_str(), untouched)); });
            r["badBuffer:" + bad] = untouched;
        }
        r["mountedAfterBad"] = std::to_string(isMounted("/mnt/key"));
        return r;
    });
    SKIP_WITHOUT_PRIVATE_ROOT(report);
    if (report["image"] != "0")
        GTEST_SKIP() << "this machine cannot mount a file system image (status " << report["image"] << ")";

    EXPECT_EQ(report["mount"], "0");
    EXPECT_EQ(report["mountErr"], "");
    EXPECT_EQ(report["mountPoint"], "/mnt/key");
    EXPECT_EQ(report["mounted"], "1");
    for (const char *other : {"/mnt/key/", "/MNT/KEY", "/mnt/ke"})
        EXPECT_EQ(report[std::string("mountedAfter:") + other], "1") << "unmounted through " << other;
    EXPECT_EQ(report["mountedAfterUnmount"], "0");
    for (const std::string &bad : {std::string("/tmp/missing.img"), "/tmp/" + std::string(240, 'k')}) {
        EXPECT_EQ(report["bad:" + bad], "1") << bad;
        EXPECT_EQ(report["badErr:" + bad], "Failed mounting removable media!\n") << bad;
        EXPECT_EQ(report["badBuffer:" + bad], "untouched") << bad;
    }
    EXPECT_EQ(report["mountedAfterBad"], "0");
}

} // namespace
