// The installed SDK as a tool maker meets it: this build installed into a
// scratch prefix, the README's program compiled through pkg-config for both
// architectures, the example project configured and built against the
// prefix, the Debian package unpacked into a scratch root and used, and the
// man pages rendered.
#include "mkportable/package/manifest.h"
#include "mkportable/support/roff_text.h"
#include "mkportable_test_support.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <span>
#include <sstream>
#include <tuple>

namespace {

using namespace mkptest;

const fs::path BUILD_DIR = fs::path(MKPORTABLE_BIN).parent_path().parent_path();

// Runs `script` with /bin/sh in `dir`; fails the test unless it exits 0.
ProgramResult shell(const std::string &script, const fs::path &dir)
{
    ProgramResult r = runProgram({"/bin/sh", "-ec", script}, dir);
    EXPECT_EQ(r.status, 0) << script << "\nout: " << r.out << "\nerr: " << r.err;
    return r;
}

fs::path installSdk(const fs::path &dir)
{
    shell("cmake --install '" + BUILD_DIR.string() + "' --prefix prefix >/dev/null", dir);
    return dir / "prefix";
}

// The C block of the README's section for tool authors.
std::string readmeProgram()
{
    const std::string readme = readFile(fs::path(SOURCE_ROOT) / "README.md");
    const std::size_t section = readme.find("## For tool authors");
    const std::size_t start = readme.find("```c\n", section);
    const std::size_t end = readme.find("```\n", start + 5);
    EXPECT_NE(section, std::string::npos);
    EXPECT_NE(start, std::string::npos);
    return readme.substr(start + 5, end - start - 5);
}

// Under the sanitizers the platform library needs their run-time libraries,
// which a tool maker's program is not built with.
#if defined(__SANITIZE_ADDRESS__)
#define SKIP_WHEN_SANITIZED() GTEST_SKIP() << "the sanitized platform library needs ASan's run time"
#else
#define SKIP_WHEN_SANITIZED()
#endif

// A package run by the real launcher in the private namespace, first record.
SandboxResult runPackage(const fs::path &dir, const std::vector<std::string> &argv)
{
    SandboxRun run;
    run.argv = argv;
    run.env = {"VESK_PORTABLE_INTERACTIVE="};
    return runSandboxed(dir.string(), run);
}

TEST(Sdk, ReadmeProgramCompilesForBothArchitecturesThroughPkgConfig)
{
    SKIP_WHEN_SANITIZED();
    const fs::path dir = scratchDir();
    const fs::path prefix = installSdk(dir);
    put(dir / "report.c", readmeProgram());
    std::vector<std::pair<std::string, std::string>> builds = {{"lib/x86_64-linux-gnu", "cc"}, {"lib32", "cc -m32"}};
    if (!ARM64_DIR.empty())
        builds.emplace_back("aarch64-linux-gnu/lib", "clang --target=aarch64-linux-gnu");
    for (const auto &[folder, compiler] : builds) {
        const std::string pc = (prefix / folder / "pkgconfig").string();
        shell("PKG_CONFIG_PATH='" + pc + "' " + compiler + " -Wall -Werror report.c $(PKG_CONFIG_PATH='" + pc +
                  "' pkg-config --cflags --libs mkportable-platform) -o report-" + fs::path(folder).filename().string(),
              dir);
    }
    EXPECT_EQ(shell("file -b report-lib32 | cut -d, -f1", dir).out, "ELF 32-bit LSB pie executable\n");
    if (!ARM64_DIR.empty()) {
        EXPECT_EQ(shell("file -b report-lib | cut -d, -f2", dir).out, " ARM aarch64\n");
    }
    const ProgramResult r = runProgram({(dir / "report-x86_64-linux-gnu").string()}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("distribution ", 0), 0u) << r.out;
}

TEST(Sdk, ExampleProjectPacksItsToolAndRepacksWhenAnInputChanges)
{
    SKIP_WHEN_SANITIZED();
    const fs::path dir = scratchDir();
    const fs::path prefix = installSdk(dir);
    const std::string configure = "cmake -G Ninja -S '" + std::string(SOURCE_ROOT) +
                                  "/examples/platform-report' -DCMAKE_PREFIX_PATH='" + prefix.string() + "'";
    shell(configure + " -B build >/dev/null && cmake --build build >/dev/null", dir);

    const SandboxResult r = runPackage(dir, {(dir / "build" / "platform-report.run").string(), "one", "two words"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("platform-report: the platform codes of this machine, as a package "
                         "sees them\ndistribution "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\nargument 1: one\nargument 2: two words\n"), std::string::npos) << r.out;
    const ProgramResult info = runProgram({MKPORTABLE_BIN, "info", "build/platform-report.run"}, dir);
    EXPECT_NE(info.out.find("  bundled programs: bin/platform-report\n"), std::string::npos) << info.out;

    EXPECT_EQ(shell("ninja -C build -n | tail -1", dir).out, "ninja: no work to do.\n");
    // A file of the image, the manifest: each makes the next build repack.
    for (const char *input : {"build/image/share/greeting.txt", "build/package.toml"}) {
        shell(std::string("sleep 1; touch ") + input, dir);
        EXPECT_NE(shell("cmake --build build", dir).out.find("Packing platform-report-package"), std::string::npos)
            << input << " changed and the package was not rebuilt";
    }

    // The same project for 32-bit machines takes the i386 library.
    shell(configure + " -B build32 -DCMAKE_C_FLAGS=-m32 >/dev/null && "
                      "cmake --build build32 --target platform-report >/dev/null",
          dir);
    EXPECT_EQ(shell("file -b build32/image/bin/platform-report | cut -d, -f1", dir).out,
              "ELF 32-bit LSB pie executable\n");
    // And for ARM machines, the aarch64 one.
    if (ARM64_DIR.empty())
        return;
    shell(
        configure + " -B build-arm64 -DCMAKE_TOOLCHAIN_FILE='" + std::string(SOURCE_ROOT) +
            "/cmake/arm64-toolchain.cmake' >/dev/null && cmake --build build-arm64 --target platform-report >/dev/null",
        dir);
    EXPECT_EQ(shell("file -b build-arm64/image/bin/platform-report | cut -d, -f2", dir).out, " ARM aarch64\n");
}

TEST(Sdk, DebianPackageHoldsEverythingAndItsMkportablePacksARunningTool)
{
    const fs::path dir = scratchDir();
    shell("cpack -G DEB --config '" + BUILD_DIR.string() +
              "/CPackConfig.cmake' -B deb >/dev/null && dpkg -x deb/mkportable_*.deb root",
          dir);
    const std::string fields = shell("dpkg-deb -f deb/mkportable_*.deb Package Architecture Depends Section", dir).out;
    EXPECT_NE(fields.find("Package: mkportable\nArchitecture: amd64\nDepends: "), std::string::npos) << fields;
    // Every Debian package that holds a library mkportable names is a
    // dependency (the merged /usr registers some under /usr/lib only).
    const std::string owners = shell(
                                   "m=root/usr/bin/mkportable; for n in $(objdump -p $m | awk '/NEEDED/ {print $2}'); "
                                   "do p=$(ldd $m | awk -v n=$n '$1==n {print $3}'); "
                                   "dpkg -S \"$p\" 2>/dev/null || dpkg -S \"/usr$p\"; done | cut -d: -f1 | sort -u",
                                   dir)
                                   .out;
    std::istringstream names(owners);
    std::size_t count = 0;
    const std::string depends = fields.substr(fields.find("Depends: ") + 7);
    for (std::string owner; std::getline(names, owner); ++count) {
        const std::size_t at = depends.find(" " + owner);
        const char after = at == std::string::npos ? '?' : depends[at + 1 + owner.size()];
        EXPECT_TRUE(after == ' ' || after == ',' || after == '\n') << owner << " missing in\n" << fields;
    }
    EXPECT_GE(count, 3u) << owners;
    for (const char *file :
         {"usr/bin/mkportable", "usr/libexec/mkportable/x86_64/launcher", "usr/libexec/mkportable/i386/miniunz",
          "usr/include/mkportable/osspecific.h", "usr/lib32/pkgconfig/mkportable-platform.pc",
          "usr/lib/x86_64-linux-gnu/libmkportable-platform.a", "usr/share/cmake/mkportable/mkportableConfig.cmake",
          "usr/share/man/man1/portable-package.1.gz", "usr/share/man/man5/mkportable-manifest.5.gz",
          "usr/share/doc/mkportable/copyright", "usr/share/doc/mkportable/changelog.Debian.gz",
          "usr/share/lintian/overrides/mkportable"})
        EXPECT_TRUE(fs::exists(dir / "root" / file)) << file;
    // A Debian revision, a stripped mkportable whose debugging information
    // went to the -dbgsym package, and nothing lintian would flag.
    EXPECT_EQ(shell("dpkg-deb -f deb/mkportable_*.deb Version", dir).out.rfind(PORTABLE_VERSION "-", 0), 0u);
    EXPECT_NE(shell("file -b root/usr/bin/mkportable", dir).out.find(", stripped"), std::string::npos);
    EXPECT_NE(shell("dpkg -c deb/mkportable-dbgsym_*.ddeb", dir).out.find(".debug\n"), std::string::npos);
    shell("lintian --fail-on error,warning deb/mkportable_*.deb", dir);

    // The unpacked mkportable finds the launcher and miniunz installed with it.
    put(dir / "tool" / "hello.sh", "#!/bin/sh\necho \"hello from the package: $1\"\n", 0755);
    shell("root/usr/bin/mkportable build -q -o hello.run --image tool --command ./hello.sh", dir);
    const SandboxResult r = runPackage(dir, {(dir / "hello.run").string(), "deb"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("hello from the package: deb\n"), std::string::npos) << r.out;
}

TEST(Sdk, ManPagesRenderWithoutWarningsAndListEveryOption)
{
    const fs::path dir = scratchDir();
    const fs::path man = BUILD_DIR / "man";
    // Each page with a line it must hold: what the page is for, in words, and
    // what the definitions it is printed from know.
    const struct {
        const char *file;
        const char *holds;
    } pages[] = {
        {"man1/mkportable.1", "mkportable \\- build, show and check self\\-extracting portable packages\n"},
        {"man1/mkportable-build.1", "mkportable\\-build \\- pack a tool into a self\\-extracting package\n"},
        {"man1/mkportable-info.1", "\\fB\\-\\-json\\fR"},
        {"man1/mkportable-verify.1", "\\fB\\-\\-key\\fR"},
        {"man1/mkportable-sign.1", "\\fB\\-\\-detached\\fR"},
        {"man1/mkportable-key.1", "mkportable\\-key \\- make keys that sign packages\n"},
        {"man1/mkportable-try.1", "busybox"},
        {"man1/portable-package.1", "\\fB\\-\\-portable\\-check\\fR\n"},
        {"man1/portable-package.1", "\\fBQUARN_PORTABLE_QUIET\\fR\n"},
        {"man1/portable-package.1", "\\fBTMPDIR\\fR\n"},
        {"man1/portable-package.1", "5 Debian (debian), 6 Ubuntu (ubuntu)"},
        {"man5/mkportable-manifest.5", "\\fBsign\\fR (path)\n"},
    };
    for (const auto &[file, holds] : pages) {
        const fs::path path = man / file;
        const ProgramResult groff = runProgram({"/usr/bin/groff", "-man", "-ww", "-z", "-Tutf8", path.string()}, dir);
        EXPECT_EQ(groff.status, 0) << file;
        EXPECT_EQ(groff.err, "") << file;
        const ProgramResult shown = runProgram({"/usr/bin/man", "-l", path.string() + ".gz"}, dir, {"MANWIDTH=80"});
        EXPECT_EQ(shown.status, 0) << file << shown.err;
        EXPECT_NE(shown.out.find("NAME"), std::string::npos) << file;
        EXPECT_NE(readFile(path).find(holds), std::string::npos) << file << " lacks " << holds;
    }
    // Each long option of `build --help` has its entry in the page.
    const std::string help = runProgram({MKPORTABLE_BIN, "build", "--help"}, dir).out;
    const std::string page = readFile(man / "man1" / "mkportable-build.1");
    std::size_t options = 0;
    for (std::size_t at = help.find("  --"); at != std::string::npos; at = help.find("  --", at + 1), ++options) {
        const std::string option = help.substr(at + 2, help.find_first_of(" ,\n", at + 2) - at - 2);
        EXPECT_NE(page.find(mkportable::roffBold(option)), std::string::npos) << option;
    }
    EXPECT_GE(options, 10u) << help;
    // So does each key that the manifest reader accepts in a tag of the
    // manifest page.
    const std::string manifestPage = readFile(man / "man5" / "mkportable-manifest.5");
    std::string tags;
    for (std::size_t at = manifestPage.find(".TP\n"); at != std::string::npos; at = manifestPage.find(".TP\n", at + 1))
        tags += manifestPage.substr(at + 4, manifestPage.find('\n', at + 4) - at - 4) + "\n";
    for (const std::span<const std::string_view> keys : {std::span<const std::string_view>(mkportable::MANIFEST_KEYS),
                                                         std::span<const std::string_view>(mkportable::RECORD_KEYS)})
        for (const std::string_view key : keys)
            EXPECT_NE(tags.find(mkportable::roffBold(key == "record" ? "[[record]]" : std::string(key))),
                      std::string::npos)
                << key << " is not in\n"
                << tags;
}

} // namespace
