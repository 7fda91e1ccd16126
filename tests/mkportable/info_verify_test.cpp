// `info` and `verify` on packages that mkportable built: the whole output,
// exactly, for a good package and for packages broken in each way that
// matters to the launcher.
#include "mkportable/json_writer.h"
#include "mkportable_test_support.h"
#include "zip_fixture.h"

#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

namespace {

using namespace mkptest;

// The first 20 bytes of an i386 ELF executable are all that info reads.
std::string elfStandIn(unsigned char bits, unsigned char machine)
{
    std::string head = std::string("\x7f" "ELF", 4) + char(bits == 64 ? 2 : 1) + '\x01' + '\x01';
    head.resize(18, '\0');
    return head + char(machine) + '\0' + "rest of the program";
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
        return slurp(dir / "p.run");
    }

    ProgramResult run(std::vector<std::string> args)
    {
        args.insert(args.begin(), MKPORTABLE_BIN);
        return runProgram(args, dir);
    }
};

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
    EXPECT_EQ(r.out, "Package p.run, " + std::to_string(bytes.size()) + " bytes\n" +
                         "Directory:\n" + directory +
                         "  image variants: none, one image for every machine\n"
                         "Global info:\n"
                         "  2 command records, lenient platform match (on a mismatch: warning, "
                         "5-second pause, record 0)\n"
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
    fx.entries = {{"tool", S_IFREG | 04755, "x"}};
    const std::string bytes = fx.build();
    const std::size_t zip = fs::file_size(fx.dir / "image.zip");
    const std::size_t at = fx.launcher.size() + 14;
    const ProgramResult r = fx.run({"info", "--json", "p.run"});
    EXPECT_EQ(r.status, 0);
    const std::string n = std::to_string(fx.launcher.size());
    EXPECT_EQ(r.out, R"({
  "package": "p.run",
  "size": )" + std::to_string(bytes.size()) + R"(,
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
      "offset": )" + std::to_string(at) + R"(,
      "size": 8
    },
    {
      "index": 3,
      "name": "command records",
      "offset": )" + std::to_string(at + 8) + R"(,
      "size": 800
    },
    {
      "index": 4,
      "name": "image",
      "offset": )" + std::to_string(at + 808) + R"(,
      "size": )" + std::to_string(zip) + R"(
    }
  ],
  "imageSize": [
    0,
    0
  ],
  "commandCount": 2,
  "strictPlatformMatch": false,
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
      "offset": )" + std::to_string(at + 808) + R"(,
      "size": )" + std::to_string(zip) + R"(,
      "entries": [
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
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "\"plain\""},
        {"q\"b\\s/", "\"q\\\"b\\\\s/\""},
        {"\n\t\x01\x1f\x7f", "\"\\u000a\\u0009\\u0001\\u001f\x7f\""},
        {"\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
         "\"\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
        {"\xff", "\"\\ufffd\""},
        {"\xc3", "\"\\ufffd\""},                           // cut short
        {"\xc0\xaf", "\"\\ufffd\\ufffd\""},                // overlong '/'
        {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},     // a surrogate
        {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""}, // past U+10FFFF
    };
    for (const auto &[in, want] : cases) {
        std::ostringstream out;
        mkportable::JsonWriter json(out);
        json.beginArray();
        json.value(in);
        json.endArray();
        EXPECT_EQ(out.str(), "[\n  " + want + "\n]\n") << in;
    }
}

// One way of breaking a good package, and the verify lines it must give
// (before the closing "FAILED" line).
struct Breakage {
    const char *name;
    std::function<void(std::string &bytes, PackageFixture &fx)> breakIt;
    std::vector<std::string> problems;
};
void PrintTo(const Breakage &b, std::ostream *os) { *os << b.name; }

const unsigned char *bytesOf(const std::string &s)
{
    return reinterpret_cast<const unsigned char *>(s.data());
}

void patchLe32(std::string &bytes, std::size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + std::size_t(i)] = char(value >> (8 * i));
}

// Offset of a directory field, counted back from the end of the file.
std::size_t directoryField(const std::string &bytes, std::size_t offset)
{
    return bytes.size() - PKG_DIRECTORY_SIZE - 1 + offset;
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
    want += "p.run: FAILED, " + std::to_string(b.problems.size()) + " problem" +
            (b.problems.size() == 1 ? "" : "s") + "\n";
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.status, 1);
}

const std::string TOO_SHORT = "-byte package directory and end marker";

INSTANTIATE_TEST_SUITE_P(
    Broken, VerifyTest,
    ::testing::Values(
        Breakage{"Empty", [](std::string &b, auto &) { b.clear(); },
                 {"the file is 0 bytes long, too short for the 549" + TOO_SHORT}},
        Breakage{"CutTo548", [](std::string &b, auto &) { b.resize(548); },
                 {"the file is 548 bytes long, too short for the 549" + TOO_SHORT}},
        Breakage{"CutByOne", [](std::string &b, auto &) { b.pop_back(); },
                 {"the last byte is 0x00, not the end marker 0xFF: no package directory "
                  "precedes it"}},
        Breakage{"CutBeforeTheDirectory", [](std::string &b, auto &) { b.resize(b.size() - 549); },
                 {"the last byte is 0x00, not the end marker 0xFF: no package directory "
                  "precedes it"}},
        Breakage{"OneByteAppended", [](std::string &b, auto &) { b += '\xff'; },
                 // The directory is read one byte late: its sizes are garbage.
                 {"the element sizes add up to 3489660932 bytes, but 1272 bytes precede the "
                  "package directory"}},
        Breakage{"ImageSizeTooLarge",
                 [](std::string &b, auto &) {
                     const std::size_t at = directoryField(b, 16);
                     patchLe32(b, at, uint32_t(readLe32(bytesOf(b) + at) + 1));
                 },
                 {"the element sizes add up to 1272 bytes, but 1271 bytes precede the package "
                  "directory"}},
        Breakage{"FlippedByteInTheImage",
                 [](std::string &b, auto &) { b[b.find("DATA-0123") + 5] ^= 0x20; },
                 {"the image: entry readme: CRC mismatch: the data is not what was stored"}},
        Breakage{"ImageEndRecordCountsFewerEntries",
                 [](std::string &b, auto &) {
                     // The image's end record lies just before the package directory.
                     const std::size_t end = directoryField(b, 0) - 22;
                     putLe(b, end + 8, 2, 1);
                     putLe(b, end + 10, 2, 1);
                 },
                 {"the image: the end record counts 1 entries, the directory holds 4"}},
        Breakage{"CountDisagreesWithTable",
                 [](std::string &b, PackageFixture &fx) {
                     patchLe32(b, fx.launcher.size() + fx.unzip.size(), 3);
                 },
                 {"the global info counts 3 command records, the table holds 2"}},
        Breakage{"NegativeCount",
                 [](std::string &b, PackageFixture &fx) {
                     patchLe32(b, fx.launcher.size() + fx.unzip.size(), 0xffffffffu);
                 },
                 {"the global info counts -1 command records, the table holds 2"}},
        Breakage{"VariantSizesDoNotAddUp",
                 [](std::string &b, auto &) {
                     patchLe32(b, directoryField(b, 280), 5);
                     patchLe32(b, directoryField(b, 544), 7);
                 },
                 {"the image variant sizes 5 and 7 do not add up to the image's 410 bytes; the "
                  "launcher unpacks it as one image"}},
        Breakage{"HostileEntries",
                 [](std::string &b, PackageFixture &fx) {
                     // mkportable builds no such image: benign names of the
                     // same lengths are renamed in place, in the local
                     // headers and the central directory alike.
                     fx.entries = {{"xx/up", S_IFREG | 0644, "x"},
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
                  "not followed"}}),
    [](const auto &p) { return p.param.name; });

TEST(Verify, PassesWhatMkportableBuilt)
{
    PackageFixture fx;
    fx.build();
    const ProgramResult r = fx.run({"verify", "p.run"});
    EXPECT_EQ(r.out, "p.run: OK, 2 command records, 1 image, 4 entries checked\n");
    EXPECT_EQ(r.status, 0);

    const ProgramResult missing = fx.run({"verify", "none.run"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "mkportable: open(none.run): No such file or directory\n");
    const ProgramResult info = fx.run({"info", "launcher"});
    EXPECT_EQ(info.status, 1);
    EXPECT_EQ(info.err, "mkportable: launcher: the file is 39 bytes long, too short for the "
                        "549-byte package directory and end marker\n");
}

} // namespace
