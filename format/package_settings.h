// The package settings: how the tool's maker wants the launcher to behave
// (instance guard, progress lines, working directory, cache, signals) and
// what the package calls itself. They travel in the digest record's field
// (digest_record.h gives the whole 260-byte layout) and are covered by its
// digest, so nobody changes them without the digest noticing.
//
//   field offset  size  content
//             64     1  'S'
//             65     1  version, 1
//             66     1  guard:             0 machine, 1 package, 2 none
//             67     1  progress:          0 stdout, 1 stderr, 2 none
//             68     1  working directory: 0 image, 1 caller
//             69     1  cache:             0 off, 1 on
//             70     1  signals:           0 record, 1 forward
//             71     1  zero
//             72    32  name, UTF-8, NUL-terminated (at most 31 bytes)
//            104    16  version, likewise (at most 15 bytes)
//            120    64  summary, likewise (at most 63 bytes)
//
// Value 0 is the behaviour of a package without settings, so the zero record
// means "as before". Every byte after a text's NUL is zero. Plain C++ without
// allocation: the static launcher decodes it too.
#ifndef FORMAT_PACKAGE_SETTINGS_H
#define FORMAT_PACKAGE_SETTINGS_H

#include <cstdint>

enum GuardSetting : uint8_t { GUARD_MACHINE = 0, GUARD_PACKAGE = 1, GUARD_NONE = 2 };
enum ProgressSetting : uint8_t { PROGRESS_STDOUT = 0, PROGRESS_STDERR = 1, PROGRESS_NONE = 2 };
enum WorkingDirectorySetting : uint8_t { WORKDIR_IMAGE = 0, WORKDIR_CALLER = 1 };
enum SignalsSetting : uint8_t { SIGNALS_RECORD = 0, SIGNALS_FORWARD = 1 };

constexpr int SETTINGS_OFFSET = 64;
constexpr int SETTINGS_SIZE = 120; // field bytes 64 to 183
constexpr int SETTINGS_NAME_SIZE = 32;
constexpr int SETTINGS_VERSION_SIZE = 16;
constexpr int SETTINGS_SUMMARY_SIZE = 64;
constexpr unsigned char SETTINGS_HEADER = 'S';
constexpr unsigned char SETTINGS_VERSION = 1;

struct PackageSettings {
    GuardSetting guard = GUARD_MACHINE;
    ProgressSetting progress = PROGRESS_STDOUT;
    WorkingDirectorySetting workingDirectory = WORKDIR_IMAGE;
    bool cache = false;
    SignalsSetting signals = SIGNALS_RECORD;
    char name[SETTINGS_NAME_SIZE] = {};
    char version[SETTINGS_VERSION_SIZE] = {};
    char summary[SETTINGS_SUMMARY_SIZE] = {};
};

// Writes the 120 bytes at field offset 64. The texts must fit (callers check
// with settingsTextFits); a longer one is cut at its limit.
void encodePackageSettings(const PackageSettings &settings, unsigned char raw[SETTINGS_SIZE]);

// Reads the 120 bytes at field offset 64: false when the header, the
// version, a value or a text is not one this launcher knows (a damaged
// record, or one from a newer mkportable).
bool decodePackageSettings(const unsigned char raw[SETTINGS_SIZE], PackageSettings *out);

// The words for each value, as the manifest and the displays spell them.
const char *guardWord(GuardSetting guard);
const char *progressWord(ProgressSetting progress);
const char *workingDirectoryWord(WorkingDirectorySetting dir);
const char *signalsWord(SignalsSetting signals);

#endif
