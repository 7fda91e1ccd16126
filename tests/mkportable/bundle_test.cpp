// Bundling a dynamic program with its shared libraries: the ELF reader, the
// loader's search, the depfile, and jq packed that way running in a root
// that holds nothing but a static busybox and /proc.
#include "mkportable/bundle/elf_dynamic.h"
#include "mkportable/bundle/library_bundle.h"
#include "mkportable/support/depfile.h"
#include "mkportable/support/terminal_text.h"
#include "mkportable_test_support.h"
#include "pack_error.h"
#include "sandbox.h"
#include "tree_scan.h"

#include <chrono>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

namespace {

using namespace mkptest;

const fs::path JQ = "/usr/bin/jq";
const fs::path BUSYBOX = "/bin/busybox";

// What the machine's own loader loads for `program`, as ldd reports it:
// name -> path, without the vDSO and the loader.
std::map<std::string, fs::path> lddLibraries(const fs::path &program, const fs::path &scratch)
{
    const ProgramResult r = runProgram({"/usr/bin/ldd", program.string()}, scratch);
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::string, fs::path> libs;
    std::istringstream lines(r.out);
    std::string name, arrow, path;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        if (words >> name >> arrow >> path && arrow == "=>")
            libs[name] = path;
    }
    return libs;
}

TEST(Bundle, FindsTheLibrariesTheLoaderWouldLoad)
{
    const fs::path dir = scratchDir();
    const fs::path image = dir / "image";
    makeDir(image / "bin");
    fs::copy_file(JQ, image / "bin" / "jq");
    const std::vector<mkportable::ResolvedLibrary> closure = mkportable::resolveLibraries(
        image / "bin" / "jq", image, mkportable::machineLoaderPaths());
    std::map<std::string, fs::path> found;
    for (const auto &lib : closure) {
        EXPECT_FALSE(lib.inImage) << lib.name;
        found[lib.name] = fs::canonical(lib.source);
    }
    std::map<std::string, fs::path> expected = lddLibraries(JQ, dir);
    for (auto &[name, path] : expected)
        path = fs::canonical(path);
    EXPECT_EQ(found, expected);
    EXPECT_EQ(mkportable::readElfDynamic(JQ).interpreter, "/lib64/ld-linux-x86-64.so.2");
}

// A library of the image that the program finds through $ORIGIN stays
// where it is; search paths are read whole around the reader's 256-byte
// chunk.
TEST(Bundle, ImageLibrariesFoundThroughOriginStayAndLongPathsReadWhole)
{
    const fs::path dir = scratchDir();
    put(dir / "demo.c", "int demo(void) { return 7; }\n");
    put(dir / "main.c", "int demo(void);\nint main(void) { return demo(); }\n");
    const ProgramResult cc = runProgram(
        {"/bin/sh", "-ec",
         "mkdir -p image/bin image/mylib && cc -shared -fPIC demo.c -o image/mylib/libdemo.so && "
         "cc main.c -Limage/mylib -ldemo -Wl,-rpath,'$ORIGIN/../mylib' -o image/bin/main"},
        dir);
    ASSERT_EQ(cc.status, 0) << cc.err;
    const auto closure = mkportable::resolveLibraries(dir / "image" / "bin" / "main", dir / "image",
                                                      mkportable::machineLoaderPaths());
    ASSERT_FALSE(closure.empty());
    EXPECT_EQ(closure[0].name, "libdemo.so");
    EXPECT_TRUE(closure[0].inImage);
    const std::vector<mkportable::TreeEntry> entries = mkportable::bundlePrograms(
        mkportable::scanTree(dir / "image"), dir / "image", {"bin/main"}, dir, mkportable::machineLoaderPaths());
    for (const auto &entry : entries)
        EXPECT_NE(entry.name, "lib/libdemo.so") << "copied a library the image holds";

    for (std::size_t length : {255u, 256u, 257u, 511u, 512u, 513u}) {
        const std::string path = "/" + std::string(length - 1, 'r');
        const ProgramResult link = runProgram(
            {"/bin/sh", "-ec", "cc main.c -Limage/mylib -ldemo -Wl,--disable-new-dtags,-rpath," + path + " -o long"},
            dir);
        ASSERT_EQ(link.status, 0) << link.err;
        const mkportable::ElfDynamic elf = mkportable::readElfDynamic(dir / "long");
        EXPECT_EQ(elf.rpath, path) << length;
        EXPECT_EQ(elf.runpath, "") << length;
    }
}

TEST(Bundle, CutOrForeignElfFilesAreRefusedWithTheirName)
{
    const fs::path dir = scratchDir();
    const std::string jq = readFile(JQ);
    // Every cut inside the headers, and a few further in, either still reads
    // (the dynamic section lies before the cut) or names the damage; none
    // reads past the end.
    for (std::size_t size : {std::size_t(0), std::size_t(4), std::size_t(16), std::size_t(63), std::size_t(64),
                             std::size_t(65), std::size_t(200), jq.size() / 2}) {
        const fs::path cut = dir / ("cut-" + std::to_string(size));
        put(cut, jq.substr(0, size));
        try {
            mkportable::readElfDynamic(cut);
            ADD_FAILURE() << size << " bytes read as a whole program";
        } catch (const mkportable::PackError &e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind(cut.string() + " is ", 0), 0u) << message;
            EXPECT_TRUE(message.find("damaged ELF file") != std::string::npos ||
                        message.find("is not an ELF program") != std::string::npos)
                << message;
        }
    }
    std::string bigEndian = jq;
    bigEndian[5] = 2;
    put(dir / "big", bigEndian);
    expectPackError([&] { mkportable::readElfDynamic(dir / "big"); },
                    "is a big-endian ELF file; only little-endian ones can be bundled");
    EXPECT_FALSE(mkportable::readElfDynamic(BUSYBOX).dynamic);
    fs::copy_file(BUSYBOX, dir / "busybox");
    expectPackError(
        [&] {
            mkportable::bundlePrograms(mkportable::scanTree(dir), dir, {"busybox"}, dir,
                                       mkportable::machineLoaderPaths());
        },
        "bundle busybox: " + (dir / "busybox").string() +
            " names no dynamic loader: a statically linked program needs no bundled libraries");
}

// A library name that is no plain file name: the loader on the target would
// open a name with a '/' as a path (a relative one from the working
// directory), never lib/. Refused, naming the program and the entry, also
// deeper in the closure.
TEST(Bundle, LibraryNamesThatAreNoPlainFileNameAreRefused)
{
    const fs::path dir = scratchDir();
    put(dir / "demo.c", "int demo(void) { return 7; }\n");
    put(dir / "mid.c", "int demo(void);\nint mid(void) { return demo(); }\n");
    put(dir / "main.c", "int mid(void);\nint main(void) { return mid(); }\n");
    const std::string slash = "it holds a '/'";
    const struct {
        std::string soname;
        bool throughLibrary; // needed by a library the program needs
        std::string why;
    } rows[] = {
        {"../../../../../tmp/evil.so", false, slash},  {"sub/libdemo.so", false, slash},
        {(dir / "libdemo.so").string(), false, slash}, {"..", false, "it is not a file name"},
        {".", false, "it is not a file name"},         {"../../tmp/evil.so", true, slash},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.soname);
        fs::remove_all(dir / "image");
        const std::string demo = "cc -shared -fPIC demo.c -Wl,-soname,'" + row.soname + "' -o libdemo.so && ";
        const std::string program =
            row.throughLibrary ? "cc -shared -fPIC mid.c libdemo.so -Wl,-soname,libmid.so -o image/lib/libmid.so"
                                 " && cc main.c image/lib/libmid.so -Wl,--allow-shlib-undefined -o image/bin/main"
                               : "cc main.c mid.c libdemo.so -o image/bin/main";
        const ProgramResult cc = runProgram({"/bin/sh", "-ec", "mkdir -p image/bin image/lib && " + demo + program},
                                            dir);
        ASSERT_EQ(cc.status, 0) << cc.err;
        const fs::path main = dir / "image" / "bin" / "main";
        const std::string needer = row.throughLibrary ? main.string() + ": " + (dir / "image/lib/libmid.so").string()
                                                      : main.string();
        expectPackError(
            [&] {
                mkportable::bundlePrograms(mkportable::scanTree(dir / "image"), dir / "image", {"bin/main"}, dir,
                                           mkportable::machineLoaderPaths());
            },
            needer + " needs the library '" + row.soname + "' (DT_NEEDED), which cannot be bundled: " + row.why);
    }
}

TEST(Bundle, LoaderConfigFollowsIncludesAndSkipsComments)
{
    const fs::path dir = scratchDir();
    put(dir / "ld.so.conf", "# comment\ninclude conf.d/*.conf\n/usr/local/lib # trailing\n"
                            "hwcap 0 nosegneg\ninclude ld.so.conf\n");
    put(dir / "conf.d" / "a.conf", "/opt/a/lib:/opt/b/lib\n\n");
    put(dir / "conf.d" / "b.conf", "/opt/c/lib=libc5\nrelative/ignored\n");
    put(dir / "conf.d" / "c.txt", "/not/included\n");
    const std::vector<std::string> dirs = mkportable::readLoaderConfig(dir / "ld.so.conf");
    // The file includes itself; the nesting limit ends that.
    ASSERT_GE(dirs.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(dirs.begin(), dirs.begin() + 4),
              (std::vector<std::string>{"/opt/a/lib", "/opt/b/lib", "/opt/c/lib", "/usr/local/lib"}));
    EXPECT_EQ(std::count(dirs.begin(), dirs.end(), "/not/included"), 0);
}

TEST(Bundle, ListingAndWrapperNamesFollowTheProgramPath)
{
    EXPECT_EQ(mkportable::movedProgramName("bin/jq"), "bin/.jq.bundled");
    EXPECT_EQ(mkportable::movedProgramName("jq"), ".jq.bundled");
    const mkportable::BundleListing listing = mkportable::listBundle(
        {".jq.bundled", "bin/", "bin/.jq.bundled", "bin/jq", "bin/other", "jq", "lib/", "lib/ld-linux-x86-64.so.2",
         "lib/libc.so.6", "lib/sub/", "lib/sub/x.so", "share/.x.bundled"});
    EXPECT_EQ(listing.programs, (std::vector<std::string>{"jq", "bin/jq"}));
    EXPECT_EQ(listing.loaders, std::vector<std::string>{"lib/ld-linux-x86-64.so.2"});
    EXPECT_EQ(listing.libraries, std::vector<std::string>{"lib/libc.so.6"});
    EXPECT_TRUE(mkportable::listBundle({"lib/", "lib/libc.so.6"}).libraries.empty());
}

TEST(Depfile, EscapesWhatMakeAndNinjaWouldSplit)
{
    EXPECT_EQ(mkportable::depfileText("/o/p.run", {"/a b/c#d", "/x$y", "/a b/c#d", "/t\\u", "/k:v", "/s\\ p"}),
              "/o/p.run: \\\n  /a\\ b/c\\#d \\\n  /x$$y \\\n  /t\\u \\\n  /k\\:v \\\n  /s\\\\\\ p\n");
}

// Each name, as the one input of a depfile, read back by make and by ninja:
// the output is up to date while the input is older, and out of date once
// the input changes. A name that one of them would misread is refused.
TEST(Depfile, MakeAndNinjaReadEveryNameBack)
{
    const std::string readBack[] = {"plain", "a b",  "two  blanks", "c#d",     "x$y",         "$$",
                                    "k:v",   "t\\u", "s\\ p",       "w\\\\ x", "caf\xc3\xa9", "semi:#$ all"};
    for (std::size_t row = 0; row < std::size(readBack); ++row) {
        const std::string &name = readBack[row];
        SCOPED_TRACE(name);
        const fs::path dir = fs::path(scratchDir()) / std::to_string(row);
        const fs::path input = dir / "in" / name, output = dir / "out";
        put(input, "input");
        fs::last_write_time(input, fs::last_write_time(input) - std::chrono::hours(24));
        put(dir / "out.d", mkportable::depfileText(output, {input}));
        put(dir / "Makefile", output.string() + ":\n\ttouch $@\ninclude out.d\n");
        put(dir / "build.ninja",
            "rule touch\n  command = touch $out\n  depfile = out.d\nbuild " + output.string() + ": touch\n");
        const ProgramResult built = runProgram({"/usr/bin/ninja"}, dir);
        ASSERT_EQ(built.status, 0) << built.out << built.err;
        EXPECT_EQ(runProgram({"/usr/bin/ninja", "-n"}, dir).out, "ninja: no work to do.\n");
        const ProgramResult make = runProgram({"/usr/bin/make", "-q"}, dir);
        EXPECT_EQ(make.status, 0) << make.err;

        fs::last_write_time(input, fs::file_time_type::clock::now());
        EXPECT_NE(runProgram({"/usr/bin/ninja", "-n"}, dir).out.find("touch " + output.string()), std::string::npos);
        EXPECT_EQ(runProgram({"/usr/bin/make", "-q"}, dir).status, 1);
    }

    const std::pair<std::string, std::string> refused[] = {
        {"new\nline", "the name holds a line end"},
        {"semi;colon", "make reads a ';' as the start of a command"},
        {"key=value", "make reads a '=' as a variable assignment"},
        {"ends\\", "the name ends in a backslash"},
    };
    for (const auto &[name, why] : refused)
        expectPackError(
            [&] {
                mkportable::depfileText("/o/p.run", {"/i/a", "/i/" + name});
            },
            "cannot write a depfile that names " + mkportable::terminalText("/i/" + name) + ": " + why);
}

// jq packed with its libraries, the same jq packed bare, and a root that
// holds a static busybox, /proc, and what the launcher itself needs: /tmp
// and /dev/null.
struct BusyboxRoot {
    fs::path dir = scratchDir();
    fs::path root = dir / "root";
    fs::path busybox = BUSYBOX;
    // For another processor family: the words that run its programs, and
    // what mkportable needs to hear of it.
    std::vector<std::string> runner;
    std::vector<std::string> packOptions;
    std::vector<std::string> packEnvironment;

    ProgramResult pack(const std::string &name, const std::vector<std::string> &bundle)
    {
        std::vector<std::string> args = {
            MKPORTABLE_BIN,           "build",     "-q",       "-o",        (dir / name).string(),         "--image",
            (dir / "image").string(), "--command", "./bin/jq", "--depfile", (dir / (name + ".d")).string()};
        for (const std::string &program : bundle)
            args.insert(args.end(), {"--bundle", program});
        args.insert(args.end(), packOptions.begin(), packOptions.end());
        return runProgram(args, dir, packEnvironment);
    }

    // Runs `argv` inside the root, with `package` copied to its top, and
    // /proc mounted unless `withoutProc`.
    SandboxResult run(const std::string &package, const std::vector<std::string> &argv, const std::string &input,
                      bool withoutProc = false)
    {
        SandboxRun run;
        run.argv = runner;
        run.argv.insert(run.argv.end(), {"/usr/sbin/chroot", root.string()});
        run.argv.insert(run.argv.end(), argv.begin(), argv.end());
        run.env = {"PATH=/bin", "VESK_PORTABLE_INTERACTIVE="};
        run.stdinText = input;
        run.setup = "mkdir -p root/bin root/proc root/tmp root/dev && touch root/dev/null && "
                    "mount --bind /dev/null root/dev/null && cp " +
                    busybox.string() + " root/bin/busybox && for a in $(" + BUSYBOX.string() +
                    " --list); do "
                    "[ -e root/bin/$a ] || ln -s busybox root/bin/$a; done && " +
                    std::string(withoutProc ? "" : "mount -t proc proc root/proc && ") +
                    "mount -t tmpfs tmpfs root/tmp && "
                    "cp " +
                    package + " root/";
        run.inspect = "ls -A root/tmp";
        return runSandboxed(dir.string(), run);
    }
};

// Without /proc, and with neither `_` nor argv[0] naming its file, the
// launcher still finds itself through the path the kernel executed.
TEST(Bundle, LauncherFindsItsOwnFileInARootWithoutProc)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "sanitized launchers are linked dynamically and cannot start in a bare root";
#endif
    BusyboxRoot fx;
    put(fx.dir / "image" / "run.sh", "#!/bin/sh\necho \"ran $*\"\n", 0755);
    const ProgramResult packed = runProgram({MKPORTABLE_BIN, "build", "-q", "-o", (fx.dir / "plain.run").string(),
                                             "--image", (fx.dir / "image").string(), "--command", "./run.sh"},
                                            fx.dir);
    ASSERT_EQ(packed.status, 0) << packed.err;
    const SandboxResult r = fx.run("plain.run", {"/bin/sh", "-c", "unset _; cd /tmp && exec -a bogus /plain.run one"},
                                   "", true);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1), "ran one\n") << r.out;
    EXPECT_EQ(r.inspected, "") << "the launcher left its working directory";
}

// Debian's arm64 jq, bundled from the arm64 libraries, runs under
// emulation in a root that holds only an arm64 busybox; this machine's own
// jq is refused for an ARM package.
TEST(Bundle, ArmJqRunsInARootWithNothingButAnArmBusybox)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "sanitized launchers are linked dynamically and cannot start in a bare root";
#endif
    SKIP_UNLESS_RUNS(ARM64);
    BusyboxRoot fx;
    makeDir(fx.dir / "image" / "bin");
    fs::copy_file(JQ, fx.dir / "image" / "bin" / "jq");
    fx.packOptions = {"--architecture", "arm64"};
    ProgramResult packed = fx.pack("host.run", {"bin/jq"});
    EXPECT_EQ(packed.status, 1);
    EXPECT_EQ(packed.err, "mkportable: command record 0 is made for arm64 machines, but bin/jq is a program for ELF "
                          "64-bit x86-64 (image " +
                              (fx.dir / "image").string() + ")\n");

    // The packages come from Debian's archive once per build tree.
    const fs::path debs = fs::path(TEST_WORK_ROOT) / "arm64-debs";
    makeDir(debs);
    const ProgramResult fetched = runProgram(
        {"/bin/sh", "-c",
         "ls *busybox-static*.deb >/dev/null 2>&1 || apt-get download -q jq:arm64 libjq1:arm64 "
         "libonig5:arm64 busybox-static:arm64 >/dev/null"},
        debs);
    if (fetched.status != 0)
        GTEST_SKIP() << "cannot fetch Debian's arm64 jq and busybox: " << fetched.err;
    ASSERT_EQ(
        runProgram({"/bin/sh", "-c", "for d in *.deb; do dpkg -x \"$d\" " + (fx.dir / "arm").string() + "; done"}, debs)
            .status,
        0);
    fs::copy_file(fx.dir / "arm" / "usr" / "bin" / "jq", fx.dir / "image" / "bin" / "jq",
                  fs::copy_options::overwrite_existing);
    fx.busybox = fx.dir / "arm" / "bin" / "busybox";
    fx.runner = runnerFor(ARM64).words;
    fx.packEnvironment = {"LD_LIBRARY_PATH=" + (fx.dir / "arm" / "usr" / "lib" / "aarch64-linux-gnu").string()};
    packed = fx.pack("jq.run", {"bin/jq"});
    ASSERT_EQ(packed.status, 0) << packed.err;
    // From the arm64 multiarch folders and the unpacked packages.
    const std::string depfile = readFile(fx.dir / "jq.run.d");
    for (const char *lib :
         {"aarch64-linux-gnu/ld-linux-aarch64.so.1", "aarch64-linux-gnu/libc.so.6", "libjq.so.1", "libonig.so.5"})
        EXPECT_NE(depfile.find(lib), std::string::npos) << lib << " in " << depfile;

    const SandboxResult r = fx.run("jq.run", {"/jq.run", "-c", ".a"}, "{\"a\":[1,2]}");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "[1,2]\n");
    EXPECT_EQ(r.inspected, "") << "the launcher left its working directory";
}

TEST(Bundle, JqRunsInARootWithNothingButBusybox)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "sanitized launchers are linked dynamically and cannot start in a bare root";
#endif
    BusyboxRoot fx;
    makeDir(fx.dir / "image" / "bin");
    fs::copy_file(JQ, fx.dir / "image" / "bin" / "jq");
    fs::copy_file(JQ, fx.dir / "image" / "jq");
    ASSERT_EQ(fx.pack("bare.run", {}).status, 0);
    const ProgramResult packed = fx.pack("jq.run", {"bin/jq", "jq"});
    ASSERT_EQ(packed.status, 0) << packed.err;

    const SandboxResult bare = fx.run("bare.run", {"/bare.run", "-c", ".a"}, "{\"a\":[1,2]}");
    EXPECT_NE(bare.status, 0) << "the root is not as bare as it should be: " << bare.out;

    const SandboxResult r = fx.run("jq.run", {"/jq.run", "-c", ".a"}, "{\"a\":[1,2]}");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // A new package keeps standard output for the tool alone.
    EXPECT_EQ(r.err, "Extracting...\nExecuting...\n\n\n");
    EXPECT_EQ(r.out, "[1,2]\n");
    EXPECT_EQ(r.inspected, "") << "the launcher left its working directory";

    // The wrapper at the image's top, started from elsewhere.
    const SandboxResult top = fx.run("jq.run",
                                     {"/bin/sh", "-c", "/jq.run --extract /x >/dev/null && /x/jq -n '[1,2]|add'"}, "");
    EXPECT_EQ(top.status, 0) << top.err;
    EXPECT_EQ(top.out, "3\n");

    const ProgramResult info = runProgram({MKPORTABLE_BIN, "info", "jq.run"}, fx.dir);
    ASSERT_EQ(info.status, 0) << info.err;
    std::string libraries;
    for (const auto &[name, path] : lddLibraries(JQ, fx.dir))
        libraries += (libraries.empty() ? "lib/" : ", lib/") + name;
    EXPECT_NE(info.out.find("  bundled programs: jq, bin/jq\n"
                            "  started through:  lib/ld-linux-x86-64.so.2\n"
                            "  with libraries:   " +
                            libraries + "\n"),
              std::string::npos)
        << info.out;

    const ProgramResult json = runProgram({"/bin/sh", "-c",
                                           std::string(MKPORTABLE_BIN) +
                                               " info --json jq.run | jq -r '.images[0].bundled | "
                                               "[(.programs | join(\",\")), (.loaders | join(\",\")), "
                                               "(.libraries | length)] | join(\" \")'"},
                                          fx.dir);
    EXPECT_EQ(json.out, "jq,bin/jq lib/ld-linux-x86-64.so.2 " + std::to_string(lddLibraries(JQ, fx.dir).size()) + "\n")
        << json.err;

    // The depfile names every input, the bundled libraries included, so a
    // build system rebuilds the package when any of them changes.
    const std::string depfile = readFile(fx.dir / "jq.run.d");
    EXPECT_EQ(depfile.rfind((fx.dir / "jq.run").string() + ": \\\n", 0), 0u) << depfile;
    for (const fs::path &input : {fx.dir / "image", fx.dir / "image" / "bin" / "jq", fs::path(LAUNCHER_BIN),
                                  fs::path(MINIUNZ_BIN), fs::canonical("/lib64/ld-linux-x86-64.so.2")})
        EXPECT_NE(depfile.find("  " + input.string() + " \\\n"), std::string::npos) << input << " missing from\n"
                                                                                    << depfile;
    EXPECT_EQ(depfile.find(".bundle-"), std::string::npos) << "names a scratch file";
    EXPECT_EQ(depfile.find("image/lib"), std::string::npos) << "names a folder that is not there";
}

// A Python application with a C extension module: bundle = "all" carries
// the interpreter's libraries and those of the module (libbz2), and the
// package runs under `mkportable try`, where nothing of this machine is
// seen; without the bundle it cannot start there.
TEST(Bundle, PythonWithACExtensionModuleRunsUnderTry)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "sanitized launchers are linked dynamically and cannot start in a bare root";
#endif
    const fs::path dir = scratchDir();
    const fs::path python = fs::canonical("/usr/bin/python3");
    const fs::path stdlib = "/usr/lib" / python.filename();
    const fs::path home = dir / "image" / "lib" / python.filename();
    makeDir(dir / "image" / "bin");
    fs::copy_file(python, dir / "image" / "bin" / "python3");
    makeDir(home / "lib-dynload");
    fs::copy(stdlib / "encodings", home / "encodings", fs::copy_options::recursive);
    for (const auto &module : fs::directory_iterator(stdlib / "lib-dynload"))
        if (module.path().filename().string().starts_with("_bz2."))
            fs::copy_file(module.path(), home / "lib-dynload" / module.path().filename());
    put(dir / "image" / "app.py",
        "import _bz2, sys\n"
        "c = _bz2.BZ2Compressor()\n"
        "packed = c.compress(b'x' * 1000) + c.flush()\n"
        "print(len(packed) < 100, len(_bz2.BZ2Decompressor().decompress(packed)), *sys.argv[1:])\n");
    put(dir / "image" / "run.sh",
        "#!/bin/sh\ncd \"${0%/*}\" && PYTHONHOME=\"$PWD\" exec ./bin/python3 -S app.py \"$@\"\n", 0755);
    const std::string manifest =
        "image = 'image'\nexclude = ['__pycache__', '*.pyc']\n[[record]]\ncommand = './run.sh'\n";
    put(dir / "bare.toml", manifest);
    put(dir / "app.toml", "bundle = 'all'\n" + manifest);
    for (const char *name : {"bare", "app"}) {
        const ProgramResult built = runProgram(
            {MKPORTABLE_BIN, "build", "-q", std::string(name) + ".toml", "-o", std::string(name) + ".run"}, dir);
        ASSERT_EQ(built.status, 0) << built.err;
    }

    const ProgramResult bare = runProgram({MKPORTABLE_BIN, "try", "bare.run", "one"}, dir);
    EXPECT_NE(bare.status, 0) << "the root is not as bare as it should be: " << bare.out;
    const ProgramResult r = runProgram({MKPORTABLE_BIN, "try", "app.run", "one", "--help"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "True 1000 one --help\n");
    const ProgramResult info = runProgram({MKPORTABLE_BIN, "info", "app.run"}, dir);
    EXPECT_NE(info.out.find("  bundled programs: bin/python3\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("lib/libbz2.so.1.0"), std::string::npos) << info.out;
    EXPECT_EQ(info.out.find(".bundled  lib/python"), std::string::npos) << "a module got a wrapper";

    // The package's status comes back, and the root holds nothing else.
    put(dir / "look" / "run.sh", "#!/bin/sh\nls -a / /bin/busybox /dev; exit 7\n", 0755);
    ASSERT_EQ(
        runProgram({MKPORTABLE_BIN, "build", "-q", "-o", "look.run", "--image", "look", "--command", "./run.sh"}, dir)
            .status,
        0);
    const ProgramResult look = runProgram({MKPORTABLE_BIN, "try", "look.run"}, dir);
    EXPECT_EQ(look.status, 7) << look.err;
    EXPECT_EQ(look.out, "/bin/busybox\n\n/:\n.\n..\nbin\ndev\nlook.run\ntmp\n\n/dev:\n.\n..\nnull\n");
}

// In a chroot the kernel refuses a new user namespace: try says so, with
// the kernel's reason, and ends with status 2 without running anything.
TEST(Bundle, TryWithoutUserNamespacesSaysWhy)
{
    BusyboxRoot fx;
    put(fx.dir / "image" / "run.sh", "#!/bin/sh\necho ran\n", 0755);
    ASSERT_EQ(
        runProgram({MKPORTABLE_BIN, "build", "-q", "-o", "p.run", "--image", "image", "--command", "./run.sh"}, fx.dir)
            .status,
        0);
    SandboxRun run;
    run.argv = {"/usr/sbin/chroot", (fx.dir / "host").string(), MKPORTABLE_BIN, "try", (fx.dir / "p.run").string()};
    run.env = {"PATH=/usr/bin:/bin"};
    run.setup = "mkdir host && mount --rbind / host";
    const SandboxResult r = runSandboxed(fx.dir.string(), run);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "mkportable try: try needs user namespaces: unshare: Operation not permitted\n");
}

} // namespace
