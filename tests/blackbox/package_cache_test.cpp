// Cacheable packages: launches of the real launcher one after another on a
// cache that lives in the scratch directory (bound over /var/cache inside
// each namespace), and what the cache holds afterwards.
#include "launcher_harness.h"

#include "package_format.h"
#include "package_signature.h"

#include <csignal>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sys/stat.h>

namespace {

const std::string CACHE = "/var/cache/quarn-portable";
const std::string FRESH = "/tmp/portable_install_00000000";
const std::string NOT_USED = "The package cache " + CACHE + " is not used: ";
const std::string FALLBACK = "; unpacking into a fresh working directory\n";
const std::string FIRST = "Extracting...\nExecuting...\n\n\n";
const std::string LATER = "Executing...\n\n\n";
// A machine that runs only packages signed by the key in maker.pub: a copy
// of /etc in the namespace.
const std::string POLICY_MACHINE =
    "mkdir -p etc && mount -t tmpfs tmpfs etc && cp -a /etc/. etc/ && mkdir -p etc/quarn-portable/trusted-keys && "
    "cp maker.pub etc/quarn-portable/trusted-keys/ && echo require-signature > etc/quarn-portable/policy && "
    "chmod -R go-w etc/quarn-portable && mount --bind \"$PWD/etc\" /etc";

// The tool says where it ran and with which arguments, and checks a file
// of its tree.
const char *const TOOL = "pwd > \"$QUARN_PORTABLE_EXEC_DIR/seen\"\n"
                         "echo \"$@\" >> \"$QUARN_PORTABLE_EXEC_DIR/seen\"\n"
                         "cat data >> \"$QUARN_PORTABLE_EXEC_DIR/seen\"";

enum class Kind {
    Plain,       // the checked launch as any other
    NoSettings,  // a package without settings
    Interrupted, // SIGINT while the first launch unpacks
    TwoAtOnce,   // two first launches at the same time
    Signed,      // signed, every launch on a machine that requires a signature
    User         // every launch by user 65534, whose home is the scratch directory's home/
};

struct Case {
    const char *name;
    int before;          // launches of the package before the checked one
    std::string prepare; // shell in the scratch directory ($qp is the cache), before the checked launch
    std::vector<std::string> args;
    std::vector<std::string> env; // @ stands for the scratch directory, here and in err
    std::string out, err;         // # stands for the bytes of the tree, % for those a fill needs
    std::string ran;              // "cache", "fresh", "" (the tool did not run) or the user's cache, @ as in env
    std::string left;             // the cache's names afterwards, digests as H; "-" when there is no cache directory
    Kind kind = Kind::Plain;
    int status = 0;
};

std::string withDigestsAsH(const std::string &text)
{
    return std::regex_replace(text, std::regex("[0-9a-f]{64}"), "H");
}

PackageSpec cachedPackage(Kind kind, const SigningKey &key)
{
    PackageSpec layout = standardPackage(toolImage(TOOL, {{"data", "payload\n", 0644}}), "./tool.sh");
    if (kind != Kind::NoSettings) {
        PackageSettings settings;
        settings.cache = true;
        settings.guard = GUARD_NONE;
        layout.settings = settings;
    }
    if (kind == Kind::Signed)
        layout.signer = key;
    if (kind == Kind::Interrupted)
        layout.unzip = "#!/bin/sh\ntouch \"$QUARN_PORTABLE_EXEC_DIR/unpacking\"\nexec sleep 30\n";
    return layout;
}

TEST(PackageCache, LaunchesOneAfterAnother)
{
    const std::string entry = CACHE + "/pkg-H-v0";
    const SigningKey key = newSigningKey();
    char keyId[KEY_ID_TEXT_SIZE];
    keyIdText(reinterpret_cast<const unsigned char *>(key.keyId.data()), keyId);
    const std::string refused = "Refused: this machine runs only packages signed by a trusted key (require-signature "
                                "in /etc/quarn-portable/policy), and this package ";
    // A byte of the image, near its end, changed in place.
    const std::string changeImage = "printf X | dd of=pkg.run bs=1 conv=notrunc status=none seek=$(($(stat -c %s "
                                    "pkg.run) - " +
                                    std::to_string(PKG_DIRECTORY_SIZE + 1 + 10) + "))";
    const std::size_t treeBytes = std::string("#!/bin/sh\n").size() + std::strlen(TOOL) + 1 + 8;
    // Another package's entry, used now, that holds more than the default limit.
    const std::string old = "mkdir -p $qp/pkg-old-v0/tree && printf 'quarn-portable-cache 1\\npackage x\\nbytes "
                            "2000000000\\n' > $qp/pkg-old-v0/marker";
    const Case cases[] = {
        {"first", 0, "", {}, {}, FIRST, "", "cache", "pkg-H-v0\n"},
        {"second", 1, "", {}, {}, LATER, "", "cache", "pkg-H-v0\n"},
        {"interrupted first", 0, "", {}, {}, "Extracting...\n", "", "", "", Kind::Interrupted, 1},
        {"a temporary left by a killed launch",
         0,
         "mkdir -p $qp/tmp-x-v0-1/tree && touch -d @0 $qp/tmp-x-v0-1",
         {},
         {},
         FIRST,
         "",
         "cache",
         "pkg-H-v0\n"},
        {"two first at once", 0, "", {}, {}, "", "", "cache", "pkg-H-v0\n", Kind::TwoAtOnce},
        {"marker missing", 1, "rm $qp/pkg-*/marker", {}, {}, FIRST, "", "cache", "pkg-H-v0\n"},
        {"a file removed", 1, "rm $qp/pkg-*/tree/data", {}, {}, FIRST, "", "cache", "pkg-H-v0\n"},
        {"a file changed",
         1,
         "for f in $qp/pkg-*/tree/data; do echo more >> $f; done",
         {},
         {},
         FIRST,
         "",
         "cache",
         "pkg-H-v0\n"},
        {"a file's time changed", 1, "touch -d @5 $qp/pkg-*/tree/tool.sh", {}, {}, FIRST, "", "cache", "pkg-H-v0\n"},
        {"the cache owned by another user",
         0,
         "mkdir -m 700 $qp && chown 65534 $qp",
         {},
         {},
         FIRST,
         NOT_USED + "it belongs to another user" + FALLBACK,
         "fresh",
         ""},
        {"the cache writable by others",
         0,
         "mkdir -m 777 $qp",
         {},
         {},
         FIRST,
         NOT_USED + "others may write to it" + FALLBACK,
         "fresh",
         ""},
        {"/var/cache another user's link",
         0,
         "umount /var/cache && mount -t tmpfs tmpfs /var && mkdir /var/real && ln -s real /var/cache && "
         "chown -h 65534 /var/cache",
         {},
         {},
         FIRST,
         NOT_USED + "the link /var/cache belongs to another user" + FALLBACK,
         "fresh",
         "-"},
        {"a read-only cache",
         0,
         "mkdir -m 700 $qp && mount --bind $qp $qp && mount -o remount,ro,bind $qp",
         {},
         {},
         FIRST,
         NOT_USED + "it cannot be written: Read-only file system" + FALLBACK,
         "fresh",
         ""},
        {"a cache without room",
         0,
         "mkdir -m 700 $qp && mount -t tmpfs -o size=4k,mode=700 tmpfs $qp",
         {},
         {},
         FIRST,
         NOT_USED + "not enough room (% bytes needed, 4096 available)" + FALLBACK,
         "fresh",
         ""},
        {"turned off", 0, "", {}, {"QUARN_PORTABLE_CACHE=0"}, FIRST, "", "fresh", "-"},
        {"turned off only by 0", 0, "", {}, {"QUARN_PORTABLE_CACHE=no"}, FIRST, "", "cache", "pkg-H-v0\n"},
        {"extract", 0, "", {"--extract", "out"}, {}, "Extracting...\n", "", "", "-"},
        {"without settings", 0, "", {"--portable-cache"}, {}, FIRST, "", "fresh", "-", Kind::NoSettings},
        {"--portable-cache",
         1,
         "",
         {"--portable-cache"},
         {},
         entry + ": # bytes\nCache " + CACHE + ": # bytes in 1 entry\n",
         "",
         "",
         "pkg-H-v0\n"},
        {"--portable-cache before any launch",
         0,
         "",
         {"--portable-cache"},
         {},
         "No cache entry for this package\nCache " + CACHE + ": 0 bytes in 0 entries\n",
         "",
         "",
         "-"},
        {"--portable-cache-clear", 1, "", {"--portable-cache-clear"}, {}, "Removed " + entry + "\n", "", "", ""},
        {"unused for 40 days",
         1,
         old + " && touch -d '40 days ago' $qp/pkg-old-v0/marker",
         {},
         {},
         LATER,
         "",
         "cache",
         "pkg-H-v0\n"},
        {"beyond the default limit", 1, old, {}, {}, LATER, "", "cache", "pkg-H-v0\n"},
        {"within a limit in G",
         1,
         old,
         {},
         {"QUARN_PORTABLE_CACHE_LIMIT=3G"},
         LATER,
         "",
         "cache",
         "pkg-H-v0\npkg-old-v0\n"},
        {"beyond a limit in K", 1, old, {}, {"QUARN_PORTABLE_CACHE_LIMIT=1953125K"}, LATER, "", "cache", "pkg-H-v0\n"},
        {"signed, first start", 0, "", {}, {}, FIRST, "", "cache", "pkg-H-v0\n", Kind::Signed},
        {"signed, second start", 1, "", {}, {}, LATER, "", "cache", "pkg-H-v0\n", Kind::Signed},
        {"signed, a copy of the package",
         1,
         "cp pkg.run pkg.new && mv pkg.new pkg.run",
         {},
         {},
         LATER,
         "",
         "cache",
         "pkg-H-v0\n",
         Kind::Signed},
        {"signed, the key no longer trusted",
         1,
         "rm /etc/quarn-portable/trusted-keys/maker.pub",
         {},
         {},
         "",
         refused + "is signed by key " + keyId + ", which is not trusted here.\n",
         "",
         "pkg-H-v0\n",
         Kind::Signed,
         1},
        {"signed, the package changed after it filled the entry",
         1,
         changeImage,
         {},
         {},
         "",
         refused + "was changed after it was signed (its digest does not match).\n",
         "",
         "pkg-H-v0\n",
         Kind::Signed,
         1},
        {"a user's first start makes ~/.cache",
         0,
         "",
         {},
         {"HOME=@/home"},
         FIRST,
         "",
         "@/home/.cache",
         "-",
         Kind::User},
        {"a user's second start", 1, "", {}, {"HOME=@/home"}, LATER, "", "@/home/.cache", "-", Kind::User},
        {"a user's XDG_CACHE_HOME",
         0,
         "",
         {},
         {"HOME=@/home", "XDG_CACHE_HOME=@/home/xdg"},
         FIRST,
         "",
         "@/home/xdg",
         "-",
         Kind::User},
        {"a user's relative XDG_CACHE_HOME is not used",
         0,
         "",
         {},
         {"HOME=@/home", "XDG_CACHE_HOME=xdg"},
         FIRST,
         "",
         "@/home/.cache",
         "-",
         Kind::User},
        {"a user's ~/.cache that root made",
         0,
         "mkdir home/.cache",
         {},
         {"HOME=@/home"},
         FIRST,
         "The package cache @/home/.cache/quarn-portable is not used: it cannot be made: Permission denied" + FALLBACK,
         "fresh",
         "-",
         Kind::User},
        {"a user's ~/.cache/quarn-portable a link to another user's",
         0,
         "mkdir -p home/.cache other/quarn-portable && chown -R 65534 home/.cache && chown 1 other/quarn-portable && "
         "chmod 777 other/quarn-portable && ln -s ../../other/quarn-portable home/.cache/",
         {},
         {"HOME=@/home"},
         FIRST,
         "The package cache @/home/.cache/quarn-portable is not used: it is a symbolic link" + FALLBACK,
         "fresh",
         "-",
         Kind::User},
        {"a user's relative HOME",
         0,
         "",
         {},
         {"HOME=home"},
         FIRST,
         "The package cache is not used: HOME is not set to an absolute path" + FALLBACK,
         "fresh",
         "-",
         Kind::User},
        {"the largest limit",
         1,
         old,
         {},
         {"QUARN_PORTABLE_CACHE_LIMIT=17179869183G"},
         LATER,
         "",
         "cache",
         "pkg-H-v0\npkg-old-v0\n"},
        {"a limit beyond 64 bits",
         1,
         old,
         {},
         {"QUARN_PORTABLE_CACHE_LIMIT=17179869184G"},
         LATER,
         "QUARN_PORTABLE_CACHE_LIMIT 17179869184G is not a size (bytes, or a number with K, M or G); the limit is 1G\n",
         "cache",
         "pkg-H-v0\n"},
        {"an invalid limit",
         1,
         old,
         {},
         {"QUARN_PORTABLE_CACHE_LIMIT=3T"},
         LATER,
         "QUARN_PORTABLE_CACHE_LIMIT 3T is not a size (bytes, or a number with K, M or G); the limit is 1G\n",
         "cache",
         "pkg-H-v0\n"},
    };
    for (const Case &c : cases) {
        LauncherHarness h;
        h.writePackage(cachedPackage(c.kind == Kind::Interrupted ? Kind::Plain : c.kind, key));
        writeFile(h.dir + "/maker.pub", minisignPublicKey(key));
        std::system(("mkdir -p '" + h.dir + "/varcache'").c_str());
        std::string bind = "mount --bind varcache /var/cache && qp=/var/cache/quarn-portable";
        if (c.kind == Kind::Signed)
            bind += " && " + POLICY_MACHINE;
        if (c.kind == Kind::User)
            bind += " && chmod 1777 . && mkdir -p home && chown 65534 home";
        const auto here = [&](std::string text) {
            if (std::size_t at = text.find('@'); at != std::string::npos)
                text.replace(at, 1, h.dir);
            return text;
        };
        std::vector<std::string> env;
        for (const std::string &e : c.env)
            env.push_back(here(e));
        const auto asUser = [&](SandboxRun &run) {
            if (c.kind == Kind::User)
                run.argv.insert(run.argv.begin(),
                                {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        };
        for (int i = 0; i < c.before; ++i) {
            SandboxRun run = h.sandboxRun({}, env);
            asUser(run);
            run.setup = bind;
            SandboxResult first = runSandboxed(h.dir, run);
            ASSERT_EQ(first.status, 0) << c.name << "\n" << first.err;
        }
        if (c.kind == Kind::Interrupted)
            h.writePackage(cachedPackage(c.kind, key));
        unlink((h.dir + "/seen").c_str());
        SandboxRun run = c.kind == Kind::Interrupted ? h.interruptedRun("unpacking", SIGINT)
                                                     : h.sandboxRun(c.args, env);
        asUser(run);
        if (c.kind == Kind::TwoAtOnce) {
            run.argv = {"/bin/sh", "-c",
                        "\"$0\" > o1 2>&1 & p=$!; \"$0\" > o2 2>&1; b=$?; wait $p; echo $? $b; cat o1 o2 >&2",
                        h.package};
        }
        run.setup = bind + (c.prepare.empty() ? "" : " && " + c.prepare);
        run.inspect = "ls -A varcache/quarn-portable 2>/dev/null || echo -; ls -A out 2>/dev/null";
        SandboxResult r = runSandboxed(h.dir, run);
        auto expand = [&](std::string text) {
            for (std::size_t at; (at = text.find('#')) != std::string::npos;)
                text.replace(at, 1, std::to_string(treeBytes));
            if (std::size_t at = text.find('%'); at != std::string::npos)
                text.replace(at, 1,
                             std::to_string(treeBytes + readFile(MINIUNZ_BIN).size() +
                                            cachedPackage(Kind::Plain, key).image.size()));
            return text;
        };
        if (c.kind == Kind::TwoAtOnce) {
            EXPECT_EQ(r.out, "0 0\n") << c.name << "\n" << r.err;
            // The second may find the entry in place already.
            EXPECT_TRUE(r.err == FIRST + FIRST || r.err == FIRST + LATER || r.err == LATER + FIRST) << r.err;
        } else {
            EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
            EXPECT_EQ(withDigestsAsH(r.out), expand(c.out)) << c.name;
            EXPECT_EQ(withDigestsAsH(r.err), here(expand(c.err))) << c.name;
        }
        std::string tail = (c.args.empty() ? "" : c.args[0]) + "\npayload\n";
        std::string seen = c.ran == "cache"   ? entry + "/tree\n" + tail
                           : c.ran == "fresh" ? FRESH + "\n" + tail
                           : c.ran.empty()    ? ""
                                              : here(c.ran) + "/quarn-portable/pkg-H-v0/tree\n" + tail;
        std::string seenNow = fileThere(h.dir + "/seen") ? withDigestsAsH(readFile(h.dir + "/seen")) : "";
        if (c.kind == Kind::TwoAtOnce) {
            // Two tools at once write the same file, one truncating it while
            // the other appends: only the lines they share are certain.
            EXPECT_EQ(seenNow.substr(0, entry.size() + 6), entry + "/tree\n") << c.name;
            EXPECT_NE(seenNow.find("payload\n"), std::string::npos) << c.name << "\n" << seenNow;
        } else {
            EXPECT_EQ(seenNow, seen) << c.name;
        }
        std::string left = c.left == "-" ? "-\n" : c.left;
        if (c.args.size() == 2 && c.args[0] == "--extract")
            left += "data\ntool.sh\n";
        EXPECT_EQ(withDigestsAsH(r.inspected), left) << c.name;
        if (c.kind == Kind::Signed && c.status == 0) {
            // The entry names the file that the policy checked last, so that
            // its next start need not read it all again.
            struct stat now;
            ASSERT_EQ(stat(h.package.c_str(), &now), 0);
            const std::string named = std::to_string(now.st_dev) + " " + std::to_string(now.st_ino) + " " +
                                      std::to_string(now.st_size) + " ";
            for (const auto &e : std::filesystem::directory_iterator(h.dir + "/varcache/quarn-portable"))
                EXPECT_NE(readFile(e.path().string() + "/marker").find("\npackage " + named), std::string::npos)
                    << c.name;
        }
        EXPECT_EQ(r.tmpAfter, "") << c.name;
    }
}

TEST(PackageCache, TheCachedTreeHasNoWriteBitsAndTheCacheIsPrivate)
{
    LauncherHarness h;
    h.writePackage(cachedPackage(Kind::Plain, newSigningKey()));
    std::system(("mkdir -p '" + h.dir + "/varcache'").c_str());
    SandboxRun run = h.sandboxRun({});
    run.setup = "mount --bind varcache /var/cache";
    run.inspect = "cd varcache/quarn-portable && stat -c '%a %n' . pkg-* pkg-*/tree pkg-*/tree/* pkg-*/marker";
    SandboxResult r = runSandboxed(h.dir, run);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(withDigestsAsH(r.inspected), "700 .\n700 pkg-H-v0\n555 pkg-H-v0/tree\n555 pkg-H-v0/tree/data\n"
                                           "555 pkg-H-v0/tree/tool.sh\n444 pkg-H-v0/marker\n");
}

} // namespace
