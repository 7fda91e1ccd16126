#include "package_settings.h"

#include <cstring>

namespace {

constexpr int NAME_AT = 8;
constexpr int VERSION_AT = NAME_AT + SETTINGS_NAME_SIZE;
constexpr int SUMMARY_AT = VERSION_AT + SETTINGS_VERSION_SIZE;
static_assert(SUMMARY_AT + SETTINGS_SUMMARY_SIZE == SETTINGS_SIZE);

// One value byte per setting, in record order, with the number of values
// this launcher knows for it.
constexpr int VALUE_COUNT[5] = {3, 3, 2, 2, 2};

void storeText(unsigned char *dst, const char *text, int width)
{
    std::memset(dst, 0, width);
    std::memcpy(dst, text, strnlen(text, width - 1));
}

// A text ends in a NUL inside its width and nothing but zero follows it, so
// two records with the same meaning are the same bytes.
bool loadText(char *dst, const unsigned char *src, int width)
{
    int length = int(strnlen(reinterpret_cast<const char *>(src), width));
    if (length == width)
        return false;
    for (int i = length; i < width; ++i)
        if (src[i] != 0)
            return false;
    std::memcpy(dst, src, width);
    return true;
}

} // namespace

void encodePackageSettings(const PackageSettings &settings, unsigned char raw[SETTINGS_SIZE])
{
    std::memset(raw, 0, SETTINGS_SIZE);
    raw[0] = SETTINGS_HEADER;
    raw[1] = SETTINGS_VERSION;
    raw[2] = settings.guard;
    raw[3] = settings.progress;
    raw[4] = settings.workingDirectory;
    raw[5] = settings.cache ? 1 : 0;
    raw[6] = settings.signals;
    storeText(raw + NAME_AT, settings.name, SETTINGS_NAME_SIZE);
    storeText(raw + VERSION_AT, settings.version, SETTINGS_VERSION_SIZE);
    storeText(raw + SUMMARY_AT, settings.summary, SETTINGS_SUMMARY_SIZE);
}

bool decodePackageSettings(const unsigned char raw[SETTINGS_SIZE], PackageSettings *out)
{
    if (raw[0] != SETTINGS_HEADER || raw[1] != SETTINGS_VERSION || raw[7] != 0)
        return false;
    for (int i = 0; i < 5; ++i)
        if (raw[2 + i] >= VALUE_COUNT[i])
            return false;
    PackageSettings settings;
    settings.guard = GuardSetting(raw[2]);
    settings.progress = ProgressSetting(raw[3]);
    settings.workingDirectory = WorkingDirectorySetting(raw[4]);
    settings.cache = raw[5] != 0;
    settings.signals = SignalsSetting(raw[6]);
    if (!loadText(settings.name, raw + NAME_AT, SETTINGS_NAME_SIZE) ||
        !loadText(settings.version, raw + VERSION_AT, SETTINGS_VERSION_SIZE) ||
        !loadText(settings.summary, raw + SUMMARY_AT, SETTINGS_SUMMARY_SIZE))
        return false;
    // A per-package guard is named after the package.
    if (settings.guard == GUARD_PACKAGE && settings.name[0] == '\0')
        return false;
    *out = settings;
    return true;
}

const char *guardWord(GuardSetting guard)
{
    static const char *const WORDS[] = {"machine", "package", "none"};
    return WORDS[guard];
}

const char *progressWord(ProgressSetting progress)
{
    static const char *const WORDS[] = {"stdout", "stderr", "none"};
    return WORDS[progress];
}

const char *workingDirectoryWord(WorkingDirectorySetting dir)
{
    static const char *const WORDS[] = {"image", "caller"};
    return WORDS[dir];
}

const char *signalsWord(SignalsSetting signals)
{
    static const char *const WORDS[] = {"record", "forward"};
    return WORDS[signals];
}
