// What a package answers to: its self-help options, the launcher's own
// options, the environment variables that change what the launcher does and
// those the tool gets. --portable-help prints each entry's line and
// mkportable's portable-package(1) page its paragraph, so the two never
// disagree. Plain data: mkportable links it without the launcher.
#ifndef LAUNCHER_HELP_DEFINITIONS_H
#define LAUNCHER_HELP_DEFINITIONS_H

#include <span>

// The single arguments that ask for self-help.
constexpr const char *PORTABLE_INFO_OPTION = "--portable-info";
constexpr const char *PORTABLE_LIST_OPTION = "--portable-list";
constexpr const char *PORTABLE_CHECK_OPTION = "--portable-check";
constexpr const char *PORTABLE_HELP_OPTION = "--portable-help";
// Self-help of a package that its maker marked cacheable.
constexpr const char *PORTABLE_CACHE_OPTION = "--portable-cache";
constexpr const char *PORTABLE_CACHE_CLEAR_OPTION = "--portable-cache-clear";

struct HelpEntry {
    const char *name;     // "--extract", "TMPDIR"
    const char *argument; // "DIR", or empty
    const char *line;     // for --portable-help; a '\n' continues it on the next line
    const char *detail;   // for the manual page: what the line says, in full
};

// The self-help options, each the only argument; none runs the tool.
extern const std::span<const HelpEntry> SELF_HELP_OPTIONS;
// The launcher's own options, each the whole command line.
extern const std::span<const HelpEntry> LAUNCHER_OPTIONS;
// The environment variables that change what the launcher does.
extern const std::span<const HelpEntry> LAUNCHER_ENVIRONMENT;
// The environment variables the launcher sets for the tool.
extern const std::span<const HelpEntry> TOOL_ENVIRONMENT;

// The exit statuses of --portable-check and the last line that says which.
struct CheckStatusText {
    int status;
    const char *lastLine;
    const char *meaning;
};
extern const std::span<const CheckStatusText> CHECK_STATUSES;

#endif
