#include "package_settings_text.h"

#include "command_line.h"
#include "pack_error.h"

#include <cstring>

namespace mkportable {

namespace {

// One setting that takes a word: its key, how many words it knows, and how
// it is read from and written to the record.
struct Choice {
    std::string_view key;
    int count;
    const char *(*word)(int);
    void (*set)(PackageSettings &, int);
    int (*get)(const PackageSettings &);
};

const Choice CHOICES[] = {
    {"guard", 3, [](int v) { return guardWord(GuardSetting(v)); },
     [](PackageSettings &s, int v) { s.guard = GuardSetting(v); },
     [](const PackageSettings &s) { return int(s.guard); }},
    {"progress", 3, [](int v) { return progressWord(ProgressSetting(v)); },
     [](PackageSettings &s, int v) { s.progress = ProgressSetting(v); },
     [](const PackageSettings &s) { return int(s.progress); }},
    {"signals", 2, [](int v) { return signalsWord(SignalsSetting(v)); },
     [](PackageSettings &s, int v) { s.signals = SignalsSetting(v); },
     [](const PackageSettings &s) { return int(s.signals); }},
    {"working_directory", 2, [](int v) { return workingDirectoryWord(WorkingDirectorySetting(v)); },
     [](PackageSettings &s, int v) { s.workingDirectory = WorkingDirectorySetting(v); },
     [](const PackageSettings &s) { return int(s.workingDirectory); }},
};

struct Text {
    std::string_view key;
    std::size_t size; // the field's width; the text holds one byte less
    char *(*field)(PackageSettings &);
};

const Text TEXTS[] = {
    {"name", SETTINGS_NAME_SIZE, [](PackageSettings &s) { return s.name; }},
    {"version", SETTINGS_VERSION_SIZE, [](PackageSettings &s) { return s.version; }},
    {"summary", SETTINGS_SUMMARY_SIZE, [](PackageSettings &s) { return s.summary; }},
};

} // namespace

PackageSettings defaultPackageSettings()
{
    PackageSettings settings;
    settings.guard = GUARD_NONE;
    settings.progress = PROGRESS_STDERR;
    settings.signals = SIGNALS_FORWARD;
    settings.workingDirectory = WORKDIR_IMAGE;
    return settings;
}

const std::vector<std::string_view> &settingWordKeys()
{
    static const std::vector<std::string_view> keys = [] {
        std::vector<std::string_view> all;
        for (const Choice &choice : CHOICES)
            all.push_back(choice.key);
        return all;
    }();
    return keys;
}

const std::vector<std::string_view> &settingTextKeys()
{
    static const std::vector<std::string_view> keys = [] {
        std::vector<std::string_view> all;
        for (const Text &text : TEXTS)
            all.push_back(text.key);
        return all;
    }();
    return keys;
}

void setSettingWord(PackageSettings &settings, std::string_view key, const std::string &word)
{
    for (const Choice &choice : CHOICES) {
        if (choice.key != key)
            continue;
        std::string list;
        for (int value = 0; value < choice.count; ++value) {
            if (word == choice.word(value)) {
                choice.set(settings, value);
                return;
            }
            list += std::string(value == 0                  ? ""
                                : value + 1 == choice.count ? " or "
                                                            : ", ") +
                    "\"" + choice.word(value) + "\"";
        }
        throw PackError(std::string(key) + " must be " + list + ", not \"" + word + "\"");
    }
    throw PackError("no setting " + std::string(key));
}

void setSettingText(PackageSettings &settings, std::string_view key, const std::string &text)
{
    for (const Text &field : TEXTS) {
        if (field.key != key)
            continue;
        if (text.size() > field.size - 1)
            throw PackError(std::string(key) + " is " + std::to_string(text.size()) +
                            " bytes long; it may hold at most " + std::to_string(field.size - 1) + " bytes");
        for (unsigned char c : text)
            if (c < 0x20 || c == 0x7f)
                throw PackError(std::string(key) + " holds a control character; write it on one line without them");
        char *dst = field.field(settings);
        std::memset(dst, 0, field.size);
        std::memcpy(dst, text.data(), text.size());
        return;
    }
    throw PackError("no setting " + std::string(key));
}

void checkSettings(const PackageSettings &settings, const std::vector<CommandEntry> &commands)
{
    if (settings.guard == GUARD_PACKAGE && settings.name[0] == '\0')
        throw PackError("guard \"package\" names its guard after the package: give the package a name");
    if (settings.workingDirectory != WORKDIR_CALLER)
        return;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        CommandRecord rec = toCommandRecord(commands[i]);
        char line[COMMAND_LINE_SIZE];
        char *argv[] = {nullptr};
        std::size_t recordEnd = 0;
        char dirName[DIRECTORY_NAME_SIZE];
        if (assembleCommandLine(&rec, 1, argv, line, &recordEnd) && splitDirectoryChange(line, recordEnd, dirName))
            throw PackError("command record " + std::to_string(i) +
                            " changes directory first, but working_directory \"caller\" starts the tool in the "
                            "caller's directory: name the program by its path in the image instead (" +
                            std::string(dirName) + "/...)");
    }
}

void warnAboutSettings(const PackageSettings &settings, std::ostream &warnings)
{
    if (settings.cache && settings.workingDirectory == WORKDIR_IMAGE)
        warnings << "mkportable: warning: cache = true with working_directory \"image\" starts the tool in its "
                    "cached tree, which is read-only: a tool that writes into its current directory fails there "
                    "(working_directory \"caller\" starts it where the operator is)\n";
}

std::vector<std::pair<std::string, std::string>> describeSettings(const PackageSettings &settings)
{
    std::vector<std::pair<std::string, std::string>> shown;
    for (const Text &text : TEXTS) {
        PackageSettings copy = settings;
        shown.emplace_back(std::string(text.key), std::string(text.field(copy)));
    }
    for (const Choice &choice : CHOICES)
        shown.emplace_back(std::string(choice.key), choice.word(choice.get(settings)));
    shown.emplace_back("cache", settings.cache ? "true" : "false");
    return shown;
}

} // namespace mkportable
