// `info` and `verify` on packages that mkportable built: the whole output,
// exactly, for a good package and for packages broken in each way that
// matters to the launcher.
#include "mkportable/support/json_writer.h"
#include "mkportable/support/terminal_text.h"
#include "mkportable_test_support.h"
#include "zip_fixture.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

namespace {

using namespace mkptest;

// An ELF header of the class and machine given, with no tables behind it, so
// that the program ends with its header; and bytes of a program after it.
// Info reads the class and machine; a file cut short is told by the end.
std::string elfStandIn(unsigned char bits, unsigned char machine)
{
    std::string head = std::string("\x7f"
                                   "ELF",
                                   4) +
                       char(bits == 64 ? 2 : 1) + '\x01' + '\x01';
    head.resize(18, '\0');
    head += char(machine);
    head.resize(bits == 64 ? 64 : 52, '\0');
    return head + "rest of the program";
}

// A package of stand-in programs, two records and a stored zip whose bytes
// the test knows, in a scratch folder; `run` runs mkportable there.
struct PackageFixture {
    fs::path dir = scratchDir();
    std::string launcher = elfStandIn(32, 3);
    std::string unzip = "unzip stand-in";
    std::vector<StoredEntry> entries = {
        {"bin/", S_IFDIR | 0755, ""},
        {"bin/run", S_IFREG | 0755, "#!/bin/sh\necho run\n"},
        {"link", S_IFLNK | 0777, "bin/run"},
        {"readme", S_IFREG | 0644, "DATA-0123456789\n"},
    };

    PackageFixture()
    {
        put(dir / "launcher", launcher, 0755);
        put(dir / "miniunz", unzip, 0755);
        put(dir / "p.toml", "image = 'image.zip'\nlauncher = 'launcher'\nunzip = 'miniunz'\n"
                            "[[record]]\ndistribution = 'suse'\nrelease = 11\n"
                            "architecture = 'x86_64'\ncommand = './bin/run'\n"
                            "[[record]]\ndistribution = 'redhat'\nrelease = 5\n"
                            "architecture = 'i386'\ncommand = 'cd bin; ./run'\n"
                            "arguments = '-v'\nalways_append = true\n");
    }

    // Builds p.run from the entries; returns its bytes.
    std::string build()
    {
        writeStoredZip(dir / "image.zip", entries);
        const ProgramResult r = run({"build", "-q", "p.toml", "-o", "p.run"});
        EXPECT_EQ(r.status, 0) << r.err;
        return readFile(dir / "p.run");
    }

    ProgramResult run(std::vector<std::string> args)
    {
        args.insert(args.begin(), MKPORTABLE_BIN);
        return runProgram(args, dir);
    }
};

// Offset of a directory field, counted back from the end of the file.
std::size_t directoryField(const std::string &bytes, std::size_t offset)
{
    return bytes.size() - PKG_DIRECTORY_SIZE - 1 + offset;
}

// The package's digest as coreutils computes it: SHA-256 of the file with
// both 260-byte variant fields (directory offsets 20 and 284) zeroed.
// The sha256-v2 digest: the recorded digest (field bytes 32-63) and the
// signature area (184-259) of both fields taken as zero.
std::string digestBySha256sum(std::string bytes, const fs::path &dir)
{
    for (std::size_t field : {20, 284}) {
        std::fill_n(bytes.begin() + std::ptrdiff_t(directoryField(bytes, field + 32)), 32, '\0');
        std::fill_n(bytes.begin() + std::ptrdiff_t(directoryField(bytes, field + 184)), 76, '\0');
    }
    put(dir / "zeroed", bytes);
    const ProgramResult r = runProgram({"/usr/bin/sha256sum", "zeroed"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out.substr(0, 64);
}

TEST(Info, DescribesEverythingInWords)
{
    PackageFixture fx;
    const std::string bytes = fx.build();
    const std::size_t zip = fs::file_size(fx.dir / "image.zip");
    const std::size_t l = fx.launcher.size();
    EXPECT_EQ(bytes.size(), l + 14 + 8 + 800 + zip + 549);
    const ProgramResult r = fx.run({"info", "p.run"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    char directory[1024];
    std::snprintf(directory, sizeof directory,
                  "  element 0  launcher                %2zu bytes at 0  (ELF 32-bit Intel 80386)\n"
                  "  element 1  unzip utility           14 bytes at %zu  (not an ELF program)\n"
                  "  element 2  global info              8 bytes at %zu\n"
                  "  element 3  command records        800 bytes at %zu\n"
                  "  element 4  image                  %3zu bytes at %zu\n",
                  l, l, l + 14, l + 22, zip, l + 822);
    EXPECT_EQ(r.out, "Package p.run, " + std::to_string(bytes.size()) + " bytes\n" + "Directory:\n" + directory +
                         "  image variants: none, one image for every machine\n"
                         "Global info:\n"
                         "  2 command records, lenient platform match (on a mismatch: warning, "
                         "5-second pause, record 0)\n"
                         "Digest:\n"
                         "  SHA-256 " +
                         digestBySha256sum(bytes, fx.dir) +
                         "\n"
                         "Settings:\n"
                         "  guard             none\n"
                         "  progress          stderr\n"
                         "  signals           forward\n"
                         "  working_directory image\n"
                         "  cache             false\n"
                         "Command records:\n"
                         "  0  SuSE 11, Intel 64-bit: ./bin/run\n"
                         "  1  Red Hat 5, Intel 32-bit: cd bin; ./run\n"
                         "     arguments: -v (always appended)\n"
                         "Image, 4 entries:\n"
                         "           0  1980-01-01 00:00:00  drwxr-xr-x  bin/\n"
                         "          19  1980-01-01 00:00:00  -rwxr-xr-x  bin/run\n"
                         "           7  1980-01-01 00:00:00  lrwxrwxrwx  link\n"
                         "          16  1980-01-01 00:00:00  -rw-r--r--  readme\n");
}

TEST(Info, JsonCarriesTheSame)
{
    PackageFixture fx;
    fx.entries = {{"bin/run", S_IFREG | 0755, "x"}, {"tool", S_IFREG | 04755, "x"}};
    const std::string bytes = fx.build();
    const std::size_t zip = fs::file_size(fx.dir / "image.zip");
    const std::size_t at = fx.launcher.size() + 14;
    const ProgramResult r = fx.run({"info", "--json", "p.run"});
    EXPECT_EQ(r.status, 0);
    const std::string n = std::to_string(fx.launcher.size());
    EXPECT_EQ(r.out, R"({
  "format": 2,
  "package": "p.run",
  "size": )" + std::to_string(bytes.size()) +
                         R"(,
  "elements": [
    {
      "index": 0,
      "name": "launcher",
      "offset": 0,
      "size": )" + n + R"(,
      "program": "ELF 32-bit Intel 80386"
    },
    {
      "index": 1,
      "name": "unzip utility",
      "offset": )" + n + R"(,
      "size": 14,
      "program": "not an ELF program"
    },
    {
      "index": 2,
      "name": "global info",
      "offset": )" + std::to_string(at) +
                         R"(,
      "size": 8
    },
    {
      "index": 3,
      "name": "command records",
      "offset": )" + std::to_string(at + 8) +
                         R"(,
      "size": 800
    },
    {
      "index": 4,
      "name": "image",
      "offset": )" + std::to_string(at + 808) +
                         R"(,
      "size": )" + std::to_string(zip) +
                         R"(
    }
  ],
  "imageSize": [
    0,
    0
  ],
  "commandCount": 2,
  "strictPlatformMatch": false,
  "digest": {
    "algorithm": "sha256",
    "hex": ")" + digestBySha256sum(bytes, fx.dir) +
                         R"("
  },
  "signedBy": null,
  "settings": {
    "name": "",
    "version": "",
    "summary": "",
    "guard": "none",
    "progress": "stderr",
    "signals": "forward",
    "working_directory": "image",
    "cache": false
  },
  "records": [
    {
      "distribution": 2,
      "distributionName": "SuSE",
      "release": 11,
      "architecture": 2,
      "architectureName": "Intel 64-bit",
      "command": "./bin/run",
      "arguments": "",
      "alwaysAppendArguments": false,
      "text": "SuSE 11, Intel 64-bit: ./bin/run"
    },
    {
      "distribution": 3,
      "distributionName": "Red Hat",
      "release": 5,
      "architecture": 1,
      "architectureName": "Intel 32-bit",
      "command": "cd bin; ./run",
      "arguments": "-v",
      "alwaysAppendArguments": true,
      "text": "Red Hat 5, Intel 32-bit: cd bin; ./run"
    }
  ],
  "images": [
    {
      "variant": "image",
      "offset": )" + std::to_string(at + 808) +
                         R"(,
      "size": )" + std::to_string(zip) +
                         R"(,
      "entries": [
        {
          "name": "bin/run",
          "type": "file",
          "size": 1,
          "compressedSize": 1,
          "mode": "0755",
          "time": "1980-01-01 00:00:00"
        },
        {
          "name": "tool",
          "type": "file",
          "size": 1,
          "compressedSize": 1,
          "mode": "4755",
          "time": "1980-01-01 00:00:00"
        }
      ]
    }
  ],
  "problems": []
}
)");
}

TEST(JsonWriter, EscapesWhatJsonCannotHoldVerbatim)
{
    const std::string fffd = "\xef\xbf\xbd"; // U+FFFD
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "\"plain\""},
        {"q\"b\\s/", "\"q\\\"b\\\\s/\""},
        {"\n\t\x01\x1f\x7f", "\"\\n\\t\\u0001\\u001f\\u007f\""},
        {"csi\xc2\x9b"
         "2J \xc2\x80\xc2\x9f\xc2\xa0",
         "\"csi\\u009b2J \\u0080\\u009f\xc2\xa0\""}, // C1 controls; U+00A0 is printable
        {"\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
        {"\xff", "\"" + fffd + "\""},
        {"\xc3", "\"" + fffd + "\""},                                  // cut short
        {"a\xc3z", "\"a" + fffd + "z\""},                              // cut short inside
        {"\xc0\xaf", "\"" + fffd + fffd + "\""},                       // overlong '/'
        {"\xed\xa0\x80", "\"" + fffd + fffd + fffd + "\""},            // a surrogate
        {"\xf4\x90\x80\x80", "\"" + fffd + fffd + fffd + fffd + "\""}, // past U+10FFFF
    };
    for (const auto &[in, want] : cases) {
        std::ostringstream out;
        mkportable::writeJson(mkportable::Json::array({in}), out);
        EXPECT_EQ(out.str(), "[\n  " + want + "\n]\n") << in;
    }
}

TEST(TerminalText, EscapesControlsInvalidUtf8AndTheBackslash)
{
    const std::pair<std::string, std::string> cases[] = {
        {"plain name.txt", "plain name.txt"},
        {"\x1b[31mred", "\\x1b[31mred"},
        {"tab\tnew\nline\r", "tab\\x09new\\x0aline\\x0d"},
        {"del\x7f", "del\\x7f"},
        {"back\\slash", "back\\x5cslash"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"csi\xc2\x9b"
         "2J",
         "csi\\xc2\\x9b2J"},              // U+009B, a C1 control
        {"nbsp\xc2\xa0", "nbsp\xc2\xa0"}, // U+00A0 is printable
        {"\xff", "\\xff"},
        {"cut\xe2\x82", "cut\\xe2\\x82"},
        {"\xc0\xaf", "\\xc0\\xaf"}, // overlong '/'
    };
    for (const auto &[in, want] : cases)
        EXPECT_EQ(mkportable::terminalText(in), want) << in;
}

TEST(Info, EscapesPackageTextForTheTerminal)
{
    PackageFixture fx;
    // A bundled program, its loader and a library, named to drive a terminal.
    fx.entries = {{"bin/run", S_IFREG | 0755, "x"},
                  {"red\x1b[31m", S_IFREG | 0644, "x"},
                  {"bad\xff", S_IFREG | 0644, "x"},
                  {"caf\xc3\xa9", S_IFREG | 0644, "x"},
                  {"t\x1b]0;x\x07", S_IFREG | 0644, "x"},
                  {".t\x1b]0;x\x07.bundled", S_IFREG | 0644, "x"},
                  {"lib/", S_IFDIR | 0755, ""},
                  {"lib/ld-\x1b[2J", S_IFREG | 0644, "x"},
                  {"lib/lib\xc2\x9b"
                   "1m.so",
                   S_IFREG | 0644, "x"}};
    fx.build();
    const ProgramResult r = fx.run({"info", "p.run"});
    EXPECT_EQ(r.status, 0);
    const std::string line = "           1  1980-01-01 00:00:00  -rw-r--r--  ";
    const std::string listing = "Image, 9 entries:\n" + line.substr(0, line.size() - 12) + "-rwxr-xr-x  bin/run\n" +
                                line + "red\\x1b[31m\n" + line + "bad\\xff\n" + line + "caf\xc3\xa9\n" + line +
                                "t\\x1b]0;x\\x07\n" + line + ".t\\x1b]0;x\\x07.bundled\n" +
                                "           0  1980-01-01 00:00:00  drwxr-xr-x  lib/\n" + line + "lib/ld-\\x1b[2J\n" +
                                line +
                                "lib/lib\\xc2\\x9b1m.so\n"
                                "  bundled programs: t\\x1b]0;x\\x07\n"
                                "  started through:  lib/ld-\\x1b[2J\n"
                                "  with libraries:   lib/lib\\xc2\\x9b1m.so\n";
    ASSERT_GE(r.out.size(), listing.size());
    EXPECT_EQ(r.out.substr(r.out.size() - listing.size()), listing);

    // JSON carries the controls escaped and U+FFFD for the byte that is not
    // UTF-8, in the entries and the bundle alike.
    const ProgramResult json = fx.run({"info", "--json", "p.run"});
    EXPECT_EQ(json.status, 0) << json.err;
    for (const char *name : {"red\\u001b[31m", "bad\xef\xbf\xbd", "caf\xc3\xa9", "lib/lib\\u009b1m.so"})
        EXPECT_NE(json.out.find("\"name\": \"" + std::string(name) + "\","), std::string::npos) << name;
    for (const char *name : {"t\\u001b]0;x\\u0007", "lib/ld-\\u001b[2J", "lib/lib\\u009b1m.so"})
        EXPECT_NE(json.out.find("\"" + std::string(name) + "\"\n"), std::string::npos) << name;
    for (const std::string &out : {r.out, json.out}) {
        EXPECT_EQ(out.find('\x1b'), std::string::npos);
        EXPECT_EQ(out.find("\xc2\x9b"), std::string::npos);
    }
}

// One way of breaking a good package, and the verify lines it must give
// (before the closing "FAILED" line).
struct Breakage {
    const char *name;
    std::function<void(std::string &bytes, PackageFixture &fx)> breakIt;
    std::vector<std::string> problems;
};
void PrintTo(const Breakage &b, std::ostream *os)
{
    *os << b.name;
}

class VerifyTest : public ::testing::TestWithParam<Breakage> {};

TEST_P(VerifyTest, ReportsEveryProblemAndFails)
{
    PackageFixture fx;
    const Breakage &b = GetParam();
    std::string bytes = fx.build();
    b.breakIt(bytes, fx);
    put(fx.dir / "p.run", bytes);
    const ProgramResult r = fx.run({"verify", "p.run"});
    std::string want;
    for (const std::string &problem : b.problems)
        want += "p.run: " + problem + "\n";
    want += "p.run: FAILED, " + std::to_string(b.problems.size()) + " problem" + (b.problems.size() == 1 ? "" : "s") +
            "\n";
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.status, 1);
}

const std::string TOO_SHORT = "-byte package directory and end marker";
const std::string CUT_SHORT = "not a whole package (cut short?); copy it again";
const std::string CHANGED = ": the package was changed after it was built";
const std::string MISMATCH = "the package was changed after it was built: its SHA-256 digest does not match the one "
                             "recorded";

INSTANTIATE_TEST_SUITE_P(
    Broken, VerifyTest,
    ::testing::Values(
        Breakage{"Empty", [](std::string &b, auto &) { b.clear(); },
                 {"not a package: it is 0 bytes long, too short for the 549" + TOO_SHORT}},
        Breakage{"CutTo548", [](std::string &b, auto &) { b.resize(548); }, {CUT_SHORT}},
        Breakage{"CutByOne", [](std::string &b, auto &) { b.pop_back(); }, {CUT_SHORT}},
        Breakage{"CutBeforeTheDirectory", [](std::string &b, auto &) { b.resize(b.size() - 549); }, {CUT_SHORT}},
        Breakage{"TextAlone", [](std::string &b, auto &) { b = std::string(600, 't'); },
                 {"not a package: it does not end in a package directory and end marker"}},
        Breakage{"OneByteAppended", [](std::string &b, auto &) { b += '\xff'; },
                 // The directory is read one byte late: its sizes are garbage.
                 {"the element sizes add up to 5368709124 bytes, but 1304 bytes precede the "
                  "package directory"}},
        Breakage{"ImageSizeTooLarge",
                 [](std::string &b, auto &) {
                     const std::size_t at = directoryField(b, 16);
                     putLe(b, at, 4, getLe(b, at, 4) + 1);
                 },
                 {"the element sizes add up to 1304 bytes, but 1303 bytes precede the package "
                  "directory"}},
        Breakage{"FlippedByteInTheImage",
                 [](std::string &b, auto &) { b[b.find("DATA-0123") + 5] ^= 0x20; },
                 {"the image: entry readme: CRC mismatch: the data is not what was stored",
                  MISMATCH}},
        Breakage{"ImageEndRecordCountsFewerEntries",
                 [](std::string &b, auto &) {
                     // The image's end record lies just before the package directory.
                     const std::size_t end = directoryField(b, 0) - 22;
                     putLe(b, end + 8, 2, 1);
                     putLe(b, end + 10, 2, 1);
                 },
                 {"the image: the end record counts 1 entries, the directory holds 4", MISMATCH}},
        Breakage{"CountDisagreesWithTable",
                 [](std::string &b, PackageFixture &fx) {
                     putLe(b, fx.launcher.size() + fx.unzip.size(), 4, 3);
                 },
                 {"the global info counts 3 command records, the table holds 2", MISMATCH}},
        Breakage{"NegativeCount",
                 [](std::string &b, PackageFixture &fx) {
                     putLe(b, fx.launcher.size() + fx.unzip.size(), 4, 0xffffffffu);
                 },
                 {"the global info counts -1 command records, the table holds 2", MISMATCH}},
        Breakage{"VariantSizesDoNotAddUp",
                 [](std::string &b, auto &) {
                     putLe(b, directoryField(b, 280), 4, 5);
                     putLe(b, directoryField(b, 544), 4, 7);
                 },
                 {"the image variant sizes 5 and 7 do not add up to the image's 410 bytes; the "
                  "launcher unpacks it as one image",
                  MISMATCH}},
        Breakage{"DigestInOneFieldOnly",
                 [](std::string &b, auto &) {
                     std::fill_n(b.begin() + std::ptrdiff_t(directoryField(b, 284)), 260, '\0');
                 },
                 {"the digest record at directory offset 284 is missing, while the other field "
                  "holds one" + CHANGED}},
        Breakage{"DigestRecordsDiffer",
                 [](std::string &b, auto &) { b[directoryField(b, 20 + 32)] ^= 1; },
                 {"the two digest records in the package directory differ" + CHANGED}},
        Breakage{"DigestPaddingChanged",
                 [](std::string &b, auto &) { b[directoryField(b, 20 + 71)] = 1; },
                 {"the digest record at directory offset 20 is damaged or was written by a newer mkportable" +
                  CHANGED}},
        Breakage{"DigestOfAnotherAlgorithm",
                 [](std::string &b, auto &) {
                     for (std::size_t field : {20, 284})
                         b[directoryField(b, field + 16 + 3)] = '5';
                 },
                 {"the digest record at directory offset 20 is damaged or was written by a newer mkportable" + CHANGED,
                  "the digest record at directory offset 284 is damaged or was written by a newer mkportable" +
                      CHANGED}},
        Breakage{"RecordTheLauncherWouldCut",
                 [](std::string &b, auto &) {
                     b.replace(b.find("cd bin; ./run"), 13, "cd .;cd b;./x");
                 },
                 {"command record 1: 'cd .;cd b;./x -v' would run as './x -v': the launcher "
                  "takes everything before the last ';' or '&' for a change of directory, which "
                  "may only be 'cd DIR ;' or 'cd DIR &&'. Put the commands in a script inside "
                  "the image and run that",
                  MISMATCH}},
        Breakage{"CommandProgramGone",
                 [](std::string &b, PackageFixture &fx) {
                     // The program's entry renamed in the zip; the records
                     // (./bin/run, cd bin; ./run) keep naming it.
                     fx.entries = {{"bin/", S_IFDIR | 0755, ""}, {"bin/run", S_IFREG | 0755, "x"}};
                     b = fx.build();
                     for (std::size_t at = b.find("bin/run"); at != std::string::npos; at = b.find("bin/run", at + 1))
                         if (b[at - 1] != '/')
                             b[at + 6] = 'X';
                 },
                 {"command record 0 starts bin/run, which is not in the image (image)",
                  "command record 1 starts bin/run, which is not in the image (image)", MISMATCH}},
        Breakage{"HostileEntries",
                 [](std::string &b, PackageFixture &fx) {
                     // mkportable builds no such image: benign names of the
                     // same lengths are renamed in place, in the local
                     // headers and the central directory alike.
                     fx.entries = {{"bin/run", S_IFREG | 0755, "x"},
                                   {"xx/up", S_IFREG | 0644, "x"},
                                   {"_etc/abs", S_IFREG | 0644, "x"},
                                   {"a/xx/xx/b", S_IFREG | 0644, "x"},
                                   {"oux", S_IFLNK | 0777, "bin"},
                                   {"ouy/passwd", S_IFREG | 0644, "x"},
                                   {"ok..name", S_IFREG | 0644, "x"}};
                     b = fx.build();
                     const std::pair<std::string, std::string> renames[] = {
                         {"xx/up", "../up"}, {"_etc/abs", "/etc/abs"},
                         {"a/xx/xx/b", "a/../../b"}, {"oux", "out"}, {"ouy", "out"}};
                     for (const auto &[from, to] : renames)
                         for (std::size_t at = b.find(from); at != std::string::npos;
                              at = b.find(from, at))
                             b.replace(at, from.size(), to);
                 },
                 {"the image: entry ../up: the name has a '..' component",
                  "the image: entry /etc/abs: the name is absolute",
                  "the image: entry a/../../b: the name has a '..' component",
                  "the image: entry out/passwd: a path through the symbolic link out, which is "
                  "not followed",
                  MISMATCH}}),
    [](const auto &p) { return p.param.name; });

// Older and hand-made packages have no digest, whatever their variant
// fields hold, and verify as before.
TEST(Verify, PassesAPackageWithoutDigest)
{
    PackageFixture fx;
    std::string bytes = fx.build();
    for (const char fill : {'\0', 'x'}) {
        for (std::size_t field : {20, 284})
            std::fill_n(bytes.begin() + std::ptrdiff_t(directoryField(bytes, field)), 260, fill);
        put(fx.dir / "p.run", bytes);
        const ProgramResult r = fx.run({"verify", "p.run"});
        EXPECT_EQ(r.out, "p.run: OK, 2 command records, 1 image, 4 entries checked, no digest\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(fx.run({"info", "p.run"}).out.find("Digest:\n  none\n"), std::string::npos);
    }
}

// The record is the documented one: magic, algorithm, SHA-256, zeros, the
// same in both fields.
TEST(Digest, BothVariantFieldsHoldTheDocumentedRecord)
{
    PackageFixture fx;
    const std::string bytes = fx.build();
    std::string sha;
    const std::string hex = digestBySha256sum(bytes, fx.dir);
    for (std::size_t i = 0; i < hex.size(); i += 2)
        sha += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    // sha256-v2, then the settings of a package built without any: guard
    // none (2), progress stderr (1), working directory image (0), no cache,
    // signals forward (1); no name, version or summary; no signature.
    const std::string record = std::string("portable-digest\0sha256-v2", 25) + std::string(7, '\0') + sha +
                               std::string("S\1\2\1\0\0\1\0", 8) + std::string(188, '\0');
    ASSERT_EQ(record.size(), 260u);
    EXPECT_EQ(bytes.substr(directoryField(bytes, 20), 260), record);
    EXPECT_EQ(bytes.substr(directoryField(bytes, 284), 260), record);
}

// No single changed byte anywhere passes: the start, middle and end of every
// element, and bytes all across the directory and the end marker.
TEST(Verify, FailsOnEverySingleByteFlip)
{
    PackageFixture fx;
    const std::string good = fx.build();
    const DecodedPackage pkg = decodePackage(good);
    std::vector<std::size_t> positions;
    std::size_t offset = 0;
    for (int i = 0; i < PKG_ELEMENT_COUNT; ++i) {
        const std::size_t size = pkg.elements[i].size();
        for (std::size_t at : {offset, offset + size / 2, offset + size - 1})
            positions.push_back(at);
        offset += size;
    }
    for (std::size_t at = 0; at < PKG_DIRECTORY_SIZE; at += 23)
        positions.push_back(directoryField(good, at));
    for (std::size_t at : {20, 36, 63, 64, 279, 280, 283, 284, 543, 544, 547, 548})
        positions.push_back(directoryField(good, at));
    for (std::size_t at : positions) {
        std::string bytes = good;
        bytes[at] = char(bytes[at] ^ 0x01);
        put(fx.dir / "p.run", bytes);
        const ProgramResult r = fx.run({"verify", "p.run"});
        EXPECT_EQ(r.status, 1) << "byte " << at << " of " << good.size() << ": " << r.out;
    }
}

TEST(Verify, PassesWhatMkportableBuilt)
{
    PackageFixture fx;
    fx.build();
    const ProgramResult r = fx.run({"verify", "p.run"});
    EXPECT_EQ(r.out,
              "p.run: OK, 2 command records, 1 image, 4 entries checked, SHA-256 digest matches\n"
              "p.run: settings: guard none, progress stderr, signals forward, working_directory image, cache false\n");
    EXPECT_EQ(r.status, 0);

    const ProgramResult missing = fx.run({"verify", "none.run"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "mkportable: cannot open none.run: No such file or directory\n");
    // Info on what is no package, or no longer a whole one, says which.
    put(fx.dir / "cut.run", readFile(fx.dir / "p.run").substr(0, 500));
    const std::pair<std::string, std::string> refusals[] = {
        {MKPORTABLE_BIN, "not a package: it does not end in a package directory and end marker"},
        {"cut.run", CUT_SHORT},
    };
    for (const auto &[file, problem] : refusals) {
        const ProgramResult info = fx.run({"info", file});
        EXPECT_EQ(info.status, 1);
        EXPECT_EQ(info.err, "mkportable: " + file + ": " + problem + "\n");
    }
}

// Signing: keys, `build --sign`, `sign` and `verify --key`, and minisign
// itself on the files mkportable writes. Every row starts with the key pairs
// trusted and other (made by `key generate`) and m (made by minisign) in the
// folder; `prepare` makes the state, then `command` runs: "mkportable" or
// "minisign", then its arguments. `text` is sought in its output, with
// {trusted}, {other} and {m} standing for the key IDs.
struct SigningCase {
    const char *name;
    std::function<void(PackageFixture &fx)> prepare;
    std::vector<std::string> command;
    int status;
    std::string text;
    std::function<void(PackageFixture &fx)> after = [](PackageFixture &) {};
};
void PrintTo(const SigningCase &c, std::ostream *os)
{
    *os << c.name;
}

ProgramResult runTool(PackageFixture &fx, std::vector<std::string> command, const std::vector<std::string> &env = {})
{
    command[0] = command[0] == "minisign" ? "/usr/bin/minisign" : MKPORTABLE_BIN;
    return runProgram(command, fx.dir, env);
}

void expectRun(PackageFixture &fx, const std::vector<std::string> &command, const std::vector<std::string> &env = {})
{
    const ProgramResult r = runTool(fx, command, env);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// The key ID that the comment line of NAME.pub names, in 16 digits: minisign
// writes it there without leading zeros.
std::string keyIdOf(PackageFixture &fx, const std::string &name)
{
    const std::string text = readFile(fx.dir / (name + ".pub"));
    const std::size_t end = text.find('\n');
    const std::string digits = text.substr(text.rfind(' ', end) + 1, end - text.rfind(' ', end) - 1);
    return std::string(16 - std::min<std::size_t>(digits.size(), 16), '0') + digits;
}

void signedBuild(PackageFixture &fx, const std::string &key)
{
    fx.build();
    expectRun(fx, {"mkportable", "sign", "p.run", "--key", key});
}

// Changes p.run's bytes with `change`.
void edit(PackageFixture &fx, const std::function<void(std::string &bytes)> &change)
{
    std::string bytes = readFile(fx.dir / "p.run");
    change(bytes);
    put(fx.dir / "p.run", bytes);
}

std::size_t signatureArea(const std::string &bytes, std::size_t field)
{
    return directoryField(bytes, field + 184);
}

class SigningTest : public ::testing::TestWithParam<SigningCase> {};

TEST_P(SigningTest, SignsAndChecksAsDocumented)
{
    PackageFixture fx;
    const SigningCase &c = GetParam();
    expectRun(fx, {"mkportable", "key", "generate", "trusted"});
    expectRun(fx, {"mkportable", "key", "generate", "other"});
    expectRun(fx, {"minisign", "-G", "-W", "-p", "m.pub", "-s", "m.key"});
    c.prepare(fx);
    const ProgramResult r = runTool(fx, c.command);
    std::string text = c.text;
    for (const char *key : {"trusted", "other", "m"})
        for (std::size_t at; (at = text.find("{" + std::string(key) + "}")) != std::string::npos;)
            text.replace(at, std::strlen(key) + 2, keyIdOf(fx, key));
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(text), std::string::npos) << "want: " << text << "\nout: " << r.out << r.err;
    c.after(fx);
}

const std::vector<std::string> VERIFY_TRUSTED = {"mkportable", "verify", "p.run",      "--key",
                                                 "other.pub",  "--key",  "trusted.pub"};
const std::string DOES_NOT_MATCH = "p.run: the signature by {trusted} does not match the package\n";

INSTANTIATE_TEST_SUITE_P(
    Signatures, SigningTest,
    ::testing::Values(
        SigningCase{"Unsigned", [](auto &fx) { fx.build(); }, VERIFY_TRUSTED, 1,
                    "p.run: the package is not signed, and --key asks for a signature\np.run: FAILED, 1 problem\n"},
        SigningCase{"SignedByATrustedKey",
                    [](auto &fx) {
                        fx.build();
                        expectRun(fx, {"mkportable", "build", "-q", "p.toml", "-o", "p.run", "--sign", "trusted.key"});
                    },
                    VERIFY_TRUSTED, 0, "digest matches, signed by {trusted} (signature matches)\n"},
        SigningCase{"SignedWithNoKeyToCheck", [](auto &fx) { signedBuild(fx, "trusted.key"); },
                    {"mkportable", "verify", "p.run"}, 0, "SHA-256 digest matches, signed by {trusted}\n"},
        SigningCase{"InfoNamesTheSigner", [](auto &fx) { signedBuild(fx, "trusted.key"); },
                    {"mkportable", "info", "p.run"}, 0, "\n  signed by {trusted}\nSettings:"},
        SigningCase{"SignedByAnUntrustedKey", [](auto &fx) { signedBuild(fx, "other.key"); },
                    {"mkportable", "verify", "p.run", "--key", "trusted.pub"}, 1,
                    "p.run: signed by {other}, which is none of the keys given\n"},
        SigningCase{"SignatureMovedFromAnotherPackage",
                    [](auto &fx) {
                        signedBuild(fx, "trusted.key");
                        const std::string other = readFile(fx.dir / "p.run");
                        fx.entries.back().data = "other data\n";
                        signedBuild(fx, "trusted.key");
                        edit(fx, [&](std::string &b) {
                            for (std::size_t field : {20, 284})
                                b.replace(signatureArea(b, field), 76, other.substr(signatureArea(other, field), 76));
                        });
                    },
                    VERIFY_TRUSTED, 1, DOES_NOT_MATCH},
        SigningCase{"SignatureCutShort",
                    [](auto &fx) {
                        signedBuild(fx, "trusted.key");
                        edit(fx, [](std::string &b) {
                            for (std::size_t field : {20, 284})
                                std::fill_n(b.begin() + std::ptrdiff_t(signatureArea(b, field) + 42), 32, '\0');
                        });
                    },
                    VERIFY_TRUSTED, 1, DOES_NOT_MATCH},
        SigningCase{"SignatureAreaMalformed",
                    [](auto &fx) {
                        signedBuild(fx, "trusted.key");
                        edit(fx, [](std::string &b) {
                            for (std::size_t field : {20, 284})
                                b[signatureArea(b, field) + 75] = 1;
                        });
                    },
                    {"mkportable", "verify", "p.run"}, 1,
                    "p.run: the signature area of the digest record is malformed: it holds neither an Ed25519 "
                    "signature nor zeros\n"},
        SigningCase{"SignatureChangedInOneRecord",
                    [](auto &fx) {
                        signedBuild(fx, "trusted.key");
                        edit(fx, [](std::string &b) { b[signatureArea(b, 284) + 30] ^= 1; });
                    },
                    VERIFY_TRUSTED, 1,
                    "p.run: the two digest records in the package directory differ: the package was changed after "
                    "it was built\np.run: FAILED, 1 problem\n"},
        SigningCase{"KeyMadeByMinisign", [](auto &fx) { signedBuild(fx, "m.key"); },
                    {"mkportable", "verify", "p.run", "--key", "m.pub"}, 0, "signed by {m} (signature matches)\n"},
        SigningCase{"EncryptedKeyRefused",
                    [](auto &fx) {
                        fx.build();
                        // The key's first nine bytes with minisign's kdf "Sc"
                        // (scrypt), which marks a key under a password.
                        const std::string text = readFile(fx.dir / "m.key");
                        const std::size_t line = text.find('\n') + 1;
                        put(fx.dir / "e.key", text.substr(0, line) + "RWRTY0IyAAAA" + text.substr(line + 12));
                    },
                    {"mkportable", "sign", "p.run", "--key", "e.key"}, 1,
                    "mkportable: e.key: encrypted key: remove its password with minisign -C -W\n"},
        SigningCase{"DamagedKeyRefused",
                    [](auto &fx) {
                        fx.build();
                        std::string text = readFile(fx.dir / "trusted.key");
                        char &c = text[text.find('\n') + 120];
                        c = c == 'A' ? 'B' : 'A';
                        put(fx.dir / "trusted.key", text, 0600);
                    },
                    {"mkportable", "sign", "p.run", "--key", "trusted.key"}, 1,
                    "trusted.key: the secret key is damaged (its checksum does not match)\n"},
        SigningCase{"KeyGenerateNeverOverwrites", [](auto &fx) { put(fx.dir / "new.pub", "mine\n"); },
                    {"mkportable", "key", "generate", "new"}, 1,
                    "mkportable: new.pub already exists; mkportable never overwrites a key\n",
                    [](auto &fx) {
                        EXPECT_EQ(readFile(fx.dir / "new.pub"), "mine\n");
                        EXPECT_FALSE(fs::exists(fx.dir / "new.key"));
                        EXPECT_NE(runTool(fx, {"mkportable", "key", "generate", "trusted"}).status, 0);
                        struct stat st;
                        ASSERT_EQ(stat((fx.dir / "trusted.key").c_str(), &st), 0);
                        EXPECT_EQ(st.st_mode & 0777, 0600u);
                    }},
        SigningCase{"KeyGenerateTakesTheSecretKeysName", [](auto &) {}, {"mkportable", "key", "generate", "new.key"},
                    0, "mkportable: wrote new.pub and new.key",
                    [](auto &fx) {
                        EXPECT_TRUE(fs::exists(fx.dir / "new.pub"));
                        EXPECT_FALSE(fs::exists(fx.dir / "new.key.key"));
                    }},
        SigningCase{"MinisignSignsWithAGeneratedKey",
                    [](auto &fx) { expectRun(fx, {"minisign", "-S", "-s", "trusted.key", "-m", "p.toml"}); },
                    {"minisign", "-V", "-p", "trusted.pub", "-m", "p.toml"}, 0, "Signature and comment signature verified"},
        SigningCase{"MinisignAcceptsTheDetachedSignatureOfABuild",
                    [](auto &fx) {
                        fx.build();
                        expectRun(fx, {"mkportable", "build", "-q", "p.toml", "-o", "p.run", "--sign", "trusted.key",
                                       "--detached"});
                    },
                    {"minisign", "-V", "-p", "trusted.pub", "-m", "p.run"}, 0,
                    "Signature and comment signature verified\nTrusted comment: file:p.run\thashed\n"},
        SigningCase{"MinisignAcceptsTheDetachedSignatureOfSign",
                    [](auto &fx) {
                        signedBuild(fx, "trusted.key");
                        expectRun(fx, {"mkportable", "sign", "p.run", "--key", "m.key", "--detached"});
                    },
                    {"minisign", "-V", "-p", "m.pub", "-m", "p.run"}, 0, "Signature and comment signature verified"},
        SigningCase{"SignThroughALinkSignsItsTargetAndKeepsItsOwner",
                    [](auto &fx) {
                        fx.build();
                        ASSERT_EQ(chown((fx.dir / "p.run").c_str(), 1234, 1234), 0);
                        fs::create_symlink("p.run", fx.dir / "link.run");
                    },
                    {"mkportable", "sign", "link.run", "--key", "trusted.key"}, 0, "mkportable: signed link.run",
                    [](auto &fx) {
                        EXPECT_TRUE(fs::is_symlink(fx.dir / "link.run"));
                        struct stat st;
                        ASSERT_EQ(stat((fx.dir / "p.run").c_str(), &st), 0);
                        EXPECT_EQ(st.st_uid, 1234u);
                        EXPECT_EQ(runTool(fx, {"mkportable", "verify", "p.run", "--key", "trusted.pub"}).status, 0);
                    }},
        SigningCase{"SignRemovesAStaleDetachedSignature",
                    [](auto &fx) {
                        fx.build();
                        expectRun(fx, {"mkportable", "sign", "p.run", "--key", "trusted.key", "--detached"});
                    },
                    {"mkportable", "sign", "p.run", "--key", "other.key"}, 0,
                    "mkportable: removed p.run.minisig, which no longer matched the package\n",
                    [](auto &fx) {
                        EXPECT_FALSE(fs::exists(fx.dir / "p.run.minisig"));
                        EXPECT_EQ(runTool(fx, {"mkportable", "verify", "p.run", "--key", "other.pub"}).status, 0);
                    }},
        SigningCase{"SignStampsADigestIntoZeroFields",
                    [](auto &fx) {
                        fx.build();
                        edit(fx, [](std::string &b) {
                            for (std::size_t field : {20, 284})
                                std::fill_n(b.begin() + std::ptrdiff_t(directoryField(b, field)), 260, '\0');
                        });
                        expectRun(fx, {"mkportable", "sign", "p.run", "--key", "trusted.key"});
                    },
                    VERIFY_TRUSTED, 0, "SHA-256 digest matches, signed by {trusted} (signature matches)\n"},
        SigningCase{"SignRefusesAHandMadePackage",
                    [](auto &fx) {
                        fx.build();
                        edit(fx, [](std::string &b) {
                            std::fill_n(b.begin() + std::ptrdiff_t(directoryField(b, 20)), 260, 'x');
                            std::fill_n(b.begin() + std::ptrdiff_t(directoryField(b, 284)), 260, 'x');
                        });
                    },
                    {"mkportable", "sign", "p.run", "--key", "trusted.key"}, 1,
                    "its variant fields hold neither zeros nor a digest record"},
        SigningCase{"SignRefusesAnOlderDigestRecord",
                    [](auto &fx) {
                        fx.build();
                        edit(fx, [](std::string &b) {
                            for (std::size_t field : {20, 284}) {
                                // "sha256-v2" becomes "sha256".
                                std::fill_n(b.begin() + std::ptrdiff_t(directoryField(b, field + 16 + 6)), 3, '\0');
                                std::fill_n(b.begin() + std::ptrdiff_t(directoryField(b, field + 64)), 196, '\0');
                            }
                        });
                    },
                    {"mkportable", "sign", "p.run", "--key", "trusted.key"}, 1,
                    "mkportable: p.run cannot be signed: its variant fields hold an older digest record, without "
                    "room for a signature; rebuild it with this mkportable\n"},
        SigningCase{"SignRefusesAChangedPackage",
                    [](auto &fx) {
                        fx.build();
                        edit(fx, [](std::string &b) { b[b.find("DATA-0123") + 5] ^= 0x20; });
                    },
                    {"mkportable", "sign", "p.run", "--key", "trusted.key"}, 1,
                    "it was changed after it was built, its SHA-256 digest does not match the one recorded\n",
                    [](auto &fx) {
                        EXPECT_EQ(runTool(fx, {"mkportable", "verify", "p.run"}).out.find("signed by"),
                                  std::string::npos);
                    }},
        SigningCase{"ManifestKeyAndEnvironmentSignReproducibly",
                    [](auto &fx) {
                        fx.build();
                        put(fx.dir / "p.toml", "sign = 'trusted.key'\n" + readFile(fx.dir / "p.toml"));
                        expectRun(fx, {"mkportable", "build", "-q", "p.toml", "-o", "a.run"});
                        put(fx.dir / "p.toml", readFile(fx.dir / "p.toml").substr(20));
                        expectRun(fx, {"mkportable", "build", "-q", "p.toml", "-o", "p.run"},
                                  {"MKPORTABLE_SIGNING_KEY=trusted.key"});
                    },
                    VERIFY_TRUSTED, 0, "signed by {trusted} (signature matches)\n",
                    [](auto &fx) { EXPECT_EQ(readFile(fx.dir / "a.run"), readFile(fx.dir / "p.run")); }}),
    [](const auto &p) { return p.param.name; });

// A changed byte in any element or in either record, the signature area
// included, fails a check by the signer's key.
TEST(Signing, FailsOnAByteFlippedInAnyElementOrRecord)
{
    PackageFixture fx;
    expectRun(fx, {"mkportable", "key", "generate", "trusted"});
    signedBuild(fx, "trusted.key");
    const std::string good = readFile(fx.dir / "p.run");
    const DecodedPackage pkg = decodePackage(good);
    std::vector<std::size_t> positions;
    std::size_t offset = 0;
    for (int i = 0; i < PKG_ELEMENT_COUNT; ++i) {
        positions.push_back(offset + pkg.elements[i].size() / 2);
        offset += pkg.elements[i].size();
    }
    for (std::size_t field : {20, 284})
        for (std::size_t at : {0, 40, 64, 184, 185, 190, 200, 257, 258, 259})
            positions.push_back(directoryField(good, field + at));
    for (std::size_t at : positions) {
        std::string bytes = good;
        bytes[at] = char(bytes[at] ^ 0x01);
        put(fx.dir / "p.run", bytes);
        const ProgramResult r = runTool(fx, {"mkportable", "verify", "p.run", "--key", "trusted.pub"});
        EXPECT_EQ(r.status, 1) << "byte " << at << ": " << r.out;
    }
}

} // namespace
