// The support-file upload against a real FTP server on loopback, started and
// stopped by the tests, with libcurl loaded from the machine at run time.
#include "osspecific.h"

#include "ftp_internal.h"
#include "package_fixture.h"
#include "sandbox.h"
#include "support_helpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <dlfcn.h>
#include <filesystem>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Debian's interpreter: python3-pyftpdlib installs for it alone.
constexpr char PYTHON[] = "/usr/bin/python3";

// Anonymous users may write anywhere below the root given as argument; the
// port that the system picked is printed once the server listens.
constexpr char SERVER_SCRIPT[] = R"(
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
authorizer = DummyAuthorizer()
authorizer.add_anonymous(sys.argv[1], perm="elradfmwMT")
FTPHandler.authorizer = authorizer
server = FTPServer(("127.0.0.1", 0), FTPHandler)
print(server.socket.getsockname()[1], flush=True)
server.serve_forever()
)";

constexpr char UPLOAD_DIR[] = "ondrel/toquarn/plovix/fdr_upload";

bool curlMapped()
{
    return readFile("/proc/self/maps").find("libcurl") != std::string::npos;
}

// A loopback port that nothing listens on.
std::string closedPort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len);
    close(s);
    return std::to_string(ntohs(addr.sin_port));
}

// The loader's own texts for a library that cannot be loaded, and for a
// name missing from one that can.
std::string loaderError(const char *library)
{
    void *lib = dlopen(library, RTLD_LAZY);
    EXPECT_EQ(lib, nullptr) << library << " exists after all";
    const char *err = dlerror();
    return err ? err : "";
}

std::string symbolError(const char *library, const char *name)
{
    void *lib = dlopen(library, RTLD_LAZY);
    dlerror();
    dlsym(lib, name);
    const char *err = dlerror();
    std::string text = err ? err : "";
    dlclose(lib);
    return text;
}

struct Outcome {
    int rc = 0;
    std::string err;
    int fdsLeft = 0;
    bool curlLeft = false;
};

Outcome upload(const std::string &path)
{
    Outcome o;
    o.err = captureStderr([&] {
        int before = openFdCount();
        o.rc = ftpFile(path.c_str());
        o.fdsLeft = openFdCount() - before;
    });
    o.curlLeft = curlMapped();
    return o;
}

class FtpUpload : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        root = std::string(TEST_WORK_ROOT) + "/ftp-server-" + std::to_string(getpid());
        fs::remove_all(root);
        fs::create_directories(root + "/" + UPLOAD_DIR);
        server = startProgram({PYTHON, "-c", SERVER_SCRIPT, root}, root);
        for (int waited = 0; port <= 0 && waited < 15000; waited += 20) {
            std::string printed = outputSoFar(server);
            if (printed.find('\n') != std::string::npos)
                port = std::atoi(printed.c_str());
            else
                usleep(20000);
        }
        if (port <= 0) {
            kill(server.pid, SIGTERM);
            startError = "the FTP test server did not start (is python3-pyftpdlib installed? "
                         "scripts/install-deps.sh installs it); it wrote: " +
                         finishProgram(server).err;
        }
    }

    static void TearDownTestSuite()
    {
        if (server.pid > 0) {
            kill(server.pid, SIGTERM);
            finishProgram(server);
        }
        fs::remove_all(root);
    }

    void SetUp() override
    {
        ASSERT_GT(port, 0) << startError;
        ASSERT_TRUE(ftpUseServerForTesting(("127.0.0.1:" + std::to_string(port)).c_str()));
        ASSERT_FALSE(curlMapped()) << "libcurl is loaded before any upload";
    }

    void TearDown() override
    {
        ftpUseServerForTesting(nullptr);
        ftpUseLibrariesForTesting(nullptr);
    }

    static std::string arrived(const std::string &name) { return root + "/" + UPLOAD_DIR + "/" + name; }

    static inline StartedProgram server;
    static inline int port = 0;
    static inline std::string root, startError;
};

// With the library list of production: libcurl.so where development files
// are installed, libcurl.so.4 everywhere else.
TEST_F(FtpUpload, FilesArriveUnderTheirLastComponent)
{
    std::string dir = scratchDir();
    std::string binary;
    for (int i = 0; i < 300000; ++i)
        binary += char(i * 7 % 256);
    struct Case {
        std::string localPath; // relative to dir
        std::string content;
        bool fromInside; // path handed over without any directory
    };
    const std::vector<Case> cases = {
        {"dir/sub/report.log", "support data\n", false},
        {"plain.txt", "no separator\n", true},
        {"with blank #1 %41 ?.txt", "odd name\n", false},
        {"binary.bin", binary, false},
        {"empty.log", "", false},
    };
    for (const Case &c : cases) {
        fs::path local = fs::path(dir) / c.localPath;
        fs::create_directories(local.parent_path());
        writeFile(local, c.content);
        std::string cwd = fs::current_path();
        if (c.fromInside)
            fs::current_path(dir);
        Outcome o = upload(c.fromInside ? c.localPath : local.string());
        fs::current_path(cwd);

        EXPECT_EQ(o.rc, 0) << c.localPath;
        EXPECT_EQ(o.err, "") << c.localPath;
        EXPECT_EQ(o.fdsLeft, 0) << c.localPath;
        EXPECT_FALSE(o.curlLeft) << c.localPath;
        std::string name = local.filename();
        ASSERT_TRUE(fs::exists(arrived(name))) << c.localPath;
        EXPECT_TRUE(readFile(arrived(name)) == c.content) << c.localPath << ": bytes differ";
    }
}

TEST_F(FtpUpload, EachFailureWritesOneMessage)
{
    std::string dir = scratchDir(), existing = dir + "/support.log";
    writeFile(existing, "data");
    static const char *const absent[] = {"libcurl-absent-first.so", "libcurl-absent-second.so", nullptr};
    static const char *const notCurl[] = {"libc.so.6", nullptr};
    struct Case {
        std::string title;
        std::string server; // empty: the test server
        const char *const *libraries;
        std::string localPath;
        std::string expected;
        bool expectedIsPrefix = false; // libcurl's own reason follows
        bool withoutUploadDir = false;
    };
    const std::vector<Case> cases = {
        {"missing local file", "", nullptr, dir + "/missing.log", "FTP: Error getting file size\n"},
        {"directory as local file", "", nullptr, dir + "/", "FTP: Error performing upload command: ", true},
        {"nothing listens", "127.0.0.1:" + closedPort(), nullptr, existing, "FTP: Error connecting to QUARN Service"},
        {"host unknown", "support.invalid", nullptr, existing, "FTP: Error connecting to QUARN Service"},
        {"no library loads", "", absent, existing, "FTP: Error opening curl library: " + loaderError(absent[0])},
        {"library without curl", "", notCurl, existing,
         "FTP: Error loading curl library: " + symbolError(notCurl[0], "curl_global_init") + "\n"},
        {"name too long for the target", "", nullptr, dir + "/" + std::string(400, '#'),
         "FTP: Error forming upload target: file name too long\n"},
        {"upload directory missing", "", nullptr, existing, "FTP: Error performing upload command: ", true, true},
    };
    std::string uploadDir = root + "/" + UPLOAD_DIR;
    for (const Case &c : cases) {
        if (!c.server.empty())
            ftpUseServerForTesting(c.server.c_str());
        ftpUseLibrariesForTesting(c.libraries);
        if (c.withoutUploadDir)
            fs::rename(uploadDir, uploadDir + ".away");
        // The local file is not touched before libcurl is ready.
        int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        inotify_add_watch(watch, existing.c_str(), IN_OPEN);

        Outcome o = upload(c.localPath);

        char event[256];
        bool opened = read(watch, event, sizeof event) > 0;
        close(watch);
        if (c.withoutUploadDir)
            fs::rename(uploadDir + ".away", uploadDir);
        ftpUseServerForTesting(("127.0.0.1:" + std::to_string(port)).c_str());
        ftpUseLibrariesForTesting(nullptr);

        EXPECT_EQ(o.rc, -1) << c.title;
        if (c.expectedIsPrefix) {
            EXPECT_TRUE(o.err.starts_with(c.expected)) << c.title << ": " << o.err;
            EXPECT_GT(o.err.size(), c.expected.size()) << c.title << ": no reason given";
            EXPECT_EQ(o.err.find('\n'), std::string::npos) << c.title;
        } else {
            EXPECT_EQ(o.err, c.expected) << c.title;
        }
        EXPECT_EQ(o.fdsLeft, 0) << c.title;
        EXPECT_FALSE(o.curlLeft) << c.title;
        if (c.libraries) {
            EXPECT_FALSE(opened) << c.title << ": local file opened";
        }
    }
}

} // namespace
