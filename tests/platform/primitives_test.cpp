// Result conventions of the operating-system primitives, on real files.
#include "osspecific.h"
#include "package_fixture.h"
#include "sandbox.h"
#include "textbuf.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(Primitives, ExistenceTestsFollowLinksAndTellDirectoriesApart)
{
    std::string d = scratchDir();
    writeFile(d + "/file", "x");
    mkdir((d + "/dir").c_str(), 0755);
    symlink((d + "/dir").c_str(), (d + "/link-to-dir").c_str());
    symlink((d + "/file").c_str(), (d + "/link-to-file").c_str());
    symlink((d + "/missing").c_str(), (d + "/dangling").c_str());
    struct Case {
        std::string path;
        int file, dir;
    } cases[] = {
        {d + "/file", 1, 0},     {d + "/dir", 0, 1},     {d + "/link-to-dir", 0, 1}, {d + "/link-to-file", 1, 0},
        {d + "/dangling", 0, 0}, {d + "/missing", 0, 0}, {"/dev/null", 1, 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(fileExists(c.path.c_str()), c.file) << c.path;
        EXPECT_EQ(dirExists(c.path.c_str()), c.dir) << c.path;
    }
    EXPECT_EQ(isAbsolutePath("/tmp"), 1);
    EXPECT_EQ(isAbsolutePath(""), 0);
    EXPECT_EQ(isAbsolutePath("tmp/"), 0);
}

TEST(Primitives, ExecuteProcessReportsHowTheCommandEnded)
{
    struct Case {
        const char *command;
        int result;
    } cases[] = {
        {"true", 0},
        {"exit 3", 3},
        {"exit 255", 255},
        {"/nonexistent/command", 127},
        {"kill -TERM $$", 128 + SIGTERM},
        {"kill -KILL $$", 128 + SIGKILL},
    };
    for (const auto &c : cases)
        EXPECT_EQ(executeProcess(c.command), c.result) << c.command;
}

TEST(Primitives, ShellCommandsLeaveTheCallersSignalHandlingAlone)
{
    // glibc's system() would ignore SIGINT in the caller while it waits; this
    // helper must not, or an interrupt of the operator goes unnoticed.
    static volatile sig_atomic_t seen = 0;
    struct sigaction sa {
    }, old{};
    sa.sa_handler = [](int) { seen = 1; };
    sigaction(SIGINT, &sa, &old);
    int status = runShellCommand("kill -INT $PPID; sleep 0.2; exit 4");
    sigaction(SIGINT, &old, nullptr);
    EXPECT_EQ(seen, 1);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 4);
}

TEST(Primitives, CaptureShellOutputKeepsWhatFitsAndDrainsTheRest)
{
    char buf[8];
    int len = -1;
    EXPECT_EQ(captureShellOutput("printf abc; echo noise >&2", buf, sizeof buf, &len), 0);
    EXPECT_EQ(len, 3);
    EXPECT_STREQ(buf, "abc");
    // Far more than a pipe holds: the command must still finish.
    int status = captureShellOutput("head -c 200000 /dev/zero | tr '\\0' y; exit 5", buf, sizeof buf, &len);
    EXPECT_EQ(WEXITSTATUS(status), 5);
    EXPECT_EQ(len, 7);
    EXPECT_STREQ(buf, "yyyyyyy");
}

TEST(Primitives, ShellBasedFileOperations)
{
    std::string d = scratchDir();
    EXPECT_EQ(makeDir((d + "/a/b/c").c_str()), 1);
    EXPECT_EQ(dirExists((d + "/a/b/c").c_str()), 1);
    EXPECT_EQ(makeDir((d + "/a/b/c").c_str()), 1);
    // Arguments are shell text: a blank makes two directories.
    EXPECT_EQ(makeDir((d + "/x " + d + "/y").c_str()), 1);
    EXPECT_EQ(dirExists((d + "/x").c_str()) + dirExists((d + "/y").c_str()), 2);
    writeFile(d + "/src", "data");
    EXPECT_EQ(copyFile((d + "/src").c_str(), (d + "/dst").c_str()), 1);
    EXPECT_EQ(readFile(d + "/dst"), "data");
    EXPECT_EQ(copyFile((d + "/none").c_str(), (d + "/dst2").c_str()), 0);
    EXPECT_EQ(copyTree((d + "/a").c_str(), (d + "/a2").c_str()), 1);
    EXPECT_EQ(dirExists((d + "/a2/b/c").c_str()), 1);
    deleteTree((d + "/a").c_str());
    EXPECT_EQ(dirExists((d + "/a").c_str()), 0);
}

TEST(Primitives, CommandsThatDoNotFitAreNotRun)
{
    // "mkdir -p " leaves 502 of the buffer's 511 characters for the path.
    std::string d = scratchDir();
    for (std::size_t len : {501ul, 502ul, 503ul}) {
        std::string path = d + "/" + std::to_string(len);
        while (path.size() < len)
            path += "/nnnnnnnnnn";
        path.resize(len);
        if (path.back() == '/')
            path.back() = 'e';
        EXPECT_EQ(makeDir(path.c_str()), len <= 502 ? 1 : 0) << len;
        EXPECT_EQ(dirExists(path.c_str()), len <= 502 ? 1 : 0) << len;
    }
    EXPECT_EQ(launchTextEditor(std::string(509, 'v').c_str()), -1);
}

TEST(Primitives, DescriptorWrappers)
{
    std::string d = scratchDir();
    std::string f = d + "/f";
    writeFile(f, "old contents", 0644);
    mode_t old = umask(022);
    int fd = fd_create(f.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fd_write(fd, "abcdef", 6), 6);
    fd_close(fd);
    struct stat st;
    stat(f.c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0644u) << "an existing file keeps its bits";
    EXPECT_EQ(readFile(f), "abcdef");

    std::string g = d + "/g";
    fd = fd_create(g.c_str());
    fd_close(fd);
    stat(g.c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0200u);
    EXPECT_EQ(makeFileReadable(g.c_str()), 0);
    stat(g.c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
    EXPECT_EQ(makeFileExecutable((d + "/none").c_str()), -1);
    umask(old);

    fd = fd_open(f.c_str());
    EXPECT_EQ(fd_seek(fd, -2, SEEK_END), 4);
    char buf[4] = {};
    EXPECT_EQ(fd_read(fd, buf, 4), 2);
    EXPECT_EQ(std::string(buf, 2), "ef");
    EXPECT_EQ(fd_read(fd, buf, 4), 0);
    EXPECT_EQ(fd_seek(fd, -100, SEEK_END), -1);
    fd_close(fd);
    EXPECT_EQ(fd_open((d + "/none").c_str()), -1);
}

TEST(Primitives, PrivateDirectoryIsMadeOnlyWhereNothingIs)
{
    std::string d = scratchDir();
    mkdir((d + "/dir").c_str(), 0777);
    writeFile(d + "/file", "");
    symlink("/nonexistent", (d + "/dangling").c_str());
    symlink("/etc", (d + "/link").c_str());
    for (const char *taken : {"/dir", "/file", "/dangling", "/link"})
        EXPECT_EQ(makePrivateDir((d + taken).c_str()), 1) << taken;
    EXPECT_EQ(makePrivateDir((d + "/none/child").c_str()), -1);
    mode_t old = umask(0);
    EXPECT_EQ(makePrivateDir((d + "/new").c_str()), 0);
    umask(old);
    struct stat st;
    lstat((d + "/new").c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST(Primitives, SignalSafeRemovalTakesTheTreeAndNothingBeyondIt)
{
    // Each case builds a tree `depth` levels deep with many files, a
    // read-only directory and a link out of the tree, and removes it by path
    // or through the descriptor of the directory that holds it (which may
    // have been renamed in between: nothing is looked up again).
    struct Case {
        const char *name;
        int depth;
        bool byDescriptor;
        bool renameParent;
    } cases[] = {
        {"by path", 40, false, false},
        {"by descriptor", 40, true, false},
        {"600 levels by path", 600, false, false},
        {"600 levels by descriptor", 600, true, false},
        {"by descriptor, the parent renamed", 20, true, true},
    };
    for (const auto &c : cases) {
        std::string d = scratchDir();
        std::string outside = d + "/outside";
        mkdir(outside.c_str(), 0755);
        writeFile(outside + "/keep", "keep");
        std::string parent = d + "/parent";
        mkdir(parent.c_str(), 0755);
        std::string tree = parent + "/tree";
        mkdir(tree.c_str(), 0755);
        // Level by level through descriptors: the whole path would not fit.
        int at = open(tree.c_str(), O_RDONLY | O_DIRECTORY);
        for (int i = 0; i < c.depth; ++i) {
            mkdirat(at, "d", 0755);
            int next = openat(at, "d", O_RDONLY | O_DIRECTORY);
            close(at);
            at = next;
        }
        close(at);
        for (int i = 0; i < 300; ++i)
            writeFile(tree + "/f" + std::to_string(i), "x");
        mkdir((tree + "/ro").c_str(), 0755);
        writeFile(tree + "/ro/file", "x");
        chmod((tree + "/ro").c_str(), 0555);
        symlink(outside.c_str(), (tree + "/link-out").c_str());
        int parentFd = open(parent.c_str(), O_RDONLY | O_DIRECTORY);
        if (c.renameParent) {
            ASSERT_EQ(rename(parent.c_str(), (d + "/moved").c_str()), 0);
            mkdir(parent.c_str(), 0755);
            mkdir(tree.c_str(), 0755);
            writeFile(tree + "/decoy", "decoy");
        }
        EXPECT_EQ(c.byDescriptor ? removeTreeAt(parentFd, "tree") : removeTreeSignalSafe(tree.c_str()), 0) << c.name;
        EXPECT_EQ(faccessat(parentFd, "tree", F_OK, AT_SYMLINK_NOFOLLOW), -1) << c.name;
        EXPECT_EQ(readFile(outside + "/keep"), "keep") << c.name;
        if (c.renameParent) {
            EXPECT_EQ(readFile(tree + "/decoy"), "decoy") << c.name;
        }
        EXPECT_EQ(c.byDescriptor ? removeTreeAt(parentFd, "tree") : removeTreeSignalSafe(tree.c_str()), 0)
            << c.name << ": nothing there is success";
        close(parentFd);
    }
}

TEST(Primitives, CurrentDirectoryNeverOverrunsItsBuffer)
{
    std::string d = scratchDir();
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(changeDir(d.c_str()), 0);
    int len = int(d.size());
    for (int size : {len, len + 1, len + 2}) {
        char buf[4200];
        std::memset(buf, 'Z', sizeof buf);
        getCurrentDir(buf, size);
        EXPECT_EQ(std::string(buf), size > len ? d : "") << size;
        EXPECT_EQ(buf[size], 'Z');
    }
    EXPECT_EQ(changeDir("/nonexistent"), -1);
    changeDir(cwd);
    char tmp[5];
    getTempDir(tmp);
    EXPECT_STREQ(tmp, "/tmp");
}

TEST(TextBuffers, NeverWritePastTheirCapacity)
{
    struct Case {
        std::size_t textLen;
        bool fits;
    } cases[] = {{6, true}, {7, true}, {8, false}, {20, false}};
    for (const auto &c : cases) {
        std::string text(c.textLen, 't');
        char buf[8 + 4];
        std::memset(buf, 'Z', sizeof buf);
        EXPECT_EQ(textFormat(buf, 8, "%s", text.c_str()), c.fits) << c.textLen;
        EXPECT_EQ(std::string(buf), c.fits ? text : "");
        EXPECT_EQ(textCopy(buf, 8, text.c_str()), c.fits);
        EXPECT_EQ(std::string(buf), c.fits ? text : "");
        EXPECT_EQ(std::string(buf + 8, 4), "ZZZZ");
    }
    char buf[8] = "abc";
    EXPECT_TRUE(textAppend(buf, sizeof buf, "defg"));
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_FALSE(textAppend(buf, sizeof buf, "h"));
    EXPECT_STREQ(buf, "abcdefg") << "a failed append leaves the text as it was";
}

} // namespace

namespace {

TEST(Primitives, KernelCopyCopiesBetweenFilesAndLeavesTheRestToTheCaller)
{
    std::string d = scratchDir();
    std::string data(300000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = char(i * 7 + (i >> 9));
    writeFile(d + "/in", data);
    int in = fd_open((d + "/in").c_str());
    int out = fd_create((d + "/out").c_str());
    ASSERT_EQ(fd_seek(in, 1000, SEEK_SET), 1000);
    EXPECT_EQ(fd_copy(in, out, 200000), 200000u);
    EXPECT_EQ(fd_seek(in, 0, SEEK_CUR), 201000) << "the source position moves past the copy";
    fd_close(out);
    fd_close(in);
    chmod((d + "/out").c_str(), 0600);
    EXPECT_EQ(readFile(d + "/out"), data.substr(1000, 200000));

    // From a pipe, where the kernel may refuse: whatever it did not copy is
    // still in the pipe for the caller, nothing lost or doubled.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "abc", 3), 3);
    close(fds[1]);
    out = fd_create((d + "/out2").c_str());
    uint32_t copied = fd_copy(fds[0], out, 3);
    char buf[4];
    ssize_t rest = read(fds[0], buf, sizeof buf);
    fd_close(out);
    close(fds[0]);
    chmod((d + "/out2").c_str(), 0600);
    EXPECT_EQ(readFile(d + "/out2") + std::string(buf, std::size_t(rest)), "abc");
    EXPECT_EQ(copied + uint32_t(rest), 3u);
}

} // namespace
