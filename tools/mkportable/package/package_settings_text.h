// The package settings as the tool's maker writes them (manifest keys and
// build options) and as info and verify show them. The record itself and
// its layout are the format library's (package_settings.h).
#ifndef MKPORTABLE_PACKAGE_SETTINGS_TEXT_H
#define MKPORTABLE_PACKAGE_SETTINGS_TEXT_H

#include "command_entry.h"
#include "package_settings.h"

#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mkportable {

// What a new package gets unless its maker says otherwise: no guard, so a
// pipeline of the same tool runs; progress on stderr, so a filter's output
// is the tool's alone; signals from a service manager forwarded to the tool;
// the tool started in its unpacked tree, as every package before.
PackageSettings defaultPackageSettings();

// The keys that take one word each: guard, progress, signals,
// working_directory.
const std::vector<std::string_view> &settingWordKeys();
// The keys that take a text: name, version, summary.
const std::vector<std::string_view> &settingTextKeys();

// Sets `key` (one of settingWordKeys) from its word; throws PackError
// "KEY must be one of ..." for another word.
void setSettingWord(PackageSettings &settings, std::string_view key, const std::string &word);

// Sets `key` (one of settingTextKeys) to `text`; throws PackError naming
// the limit when the text is longer, and refuses control characters, which
// would break the one-line messages that show it.
void setSettingText(PackageSettings &settings, std::string_view key, const std::string &text);

// Checks the settings against each other and the records: a per-package
// guard needs a name; a tool started in the caller's directory cannot have
// its record change directory first. Throws PackError.
void checkSettings(const PackageSettings &settings, const std::vector<CommandEntry> &commands);

// Warns on `warnings` about settings that work but may surprise: a cached
// tool started in its tree, which is read-only.
void warnAboutSettings(const PackageSettings &settings, std::ostream &warnings);

// (key, shown value) pairs in record order, for info and verify; texts as
// stored (callers escape them for the terminal).
std::vector<std::pair<std::string, std::string>> describeSettings(const PackageSettings &settings);

} // namespace mkportable

#endif
