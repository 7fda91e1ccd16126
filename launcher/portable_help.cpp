#include "portable_help.h"

#include "help_definitions.h"
#include "launch_settings.h"
#include "terminal_text.h"

#include <cstdio>

namespace {

// One entry per line: the name (and argument) in a column `width` wide, at
// least two blanks before the text; a continued text keeps its column.
void printEntries(std::span<const HelpEntry> entries, int width)
{
    for (const HelpEntry &e : entries) {
        int used = std::printf("  %s%s%s", e.name, e.argument[0] ? " " : "", e.argument);
        std::printf("%*s", used < width ? width - used : 2, "");
        for (const char *c = e.line; *c; ++c)
            *c == '\n' ? std::printf("\n%*s", width, "") : std::putchar(*c);
        std::putchar('\n');
    }
}

} // namespace

int portableHelp()
{
    if (!launchHasSettings)
        return -1;
    const PackageSettings &s = launchSettings;
    std::printf("%s%s%s\n", s.name[0] ? terminalText(s.name).c_str() : "This package", s.version[0] ? " " : "",
                terminalText(s.version).c_str());
    if (s.summary[0] != '\0')
        std::printf("%s\n", terminalText(s.summary).c_str());
    std::puts("\nSelf-help (each the only argument; none runs the tool):");
    printEntries(SELF_HELP_OPTIONS, 22);
    std::puts("\nThe launcher's own options (each the whole command line):");
    printEntries(LAUNCHER_OPTIONS, 22);
    std::puts("Every other command line goes to the tool.\n\nEnvironment:");
    printEntries(LAUNCHER_ENVIRONMENT, 29);
    std::puts("The tool gets:");
    printEntries(TOOL_ENVIRONMENT, 29);
    return 0;
}
