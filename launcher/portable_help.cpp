#include "portable_help.h"

#include "launch_settings.h"
#include "record_text.h"
#include "terminal_text.h"

#include <cstdio>

namespace {

const char *const HELP_TEXT =
    "\n"
    "Self-help (each the only argument; none runs the tool):\n"
    "  --portable-info     what the package holds and which record this machine would run\n"
    "  --portable-list     the files of the image\n"
    "  --portable-check    whether the package is whole (its digest and every file)\n"
    "                      and signed by a key this machine trusts\n"
    "  --portable-help     this text\n"
    "  --portable-cache    a cached package: its cache entry and the cache's size\n"
    "  --portable-cache-clear  a cached package: remove its cache entries\n"
    "\n"
    "The launcher's own options (each the whole command line):\n"
    "  --extract DIR       only unpack the image into DIR (made when missing)\n"
    "  -semdestroy         release the instance guard of a launcher that was killed\n"
    "Every other command line goes to the tool.\n"
    "\n"
    "Environment:\n"
    "  TMPDIR                     where the working directory is made (default /tmp)\n"
    "  QUARN_PORTABLE_QUIET       set: no progress lines\n"
    "  QUARN_PORTABLE_ERR_SH      set: a shell in the working directory after a failed launch\n"
    "  VESK_PORTABLE_INTERACTIVE  set: run the first record without identifying the platform\n"
    "  VESK_PORTABLE_DEBUG        set: say why platform identification failed\n"
    "  QUARN_PORTABLE_REQUIRE_SIGNATURE  1: run only a package signed by a trusted key\n"
    "  QUARN_PORTABLE_CACHE       0: a fresh working directory instead of the cache\n"
    "  QUARN_PORTABLE_CACHE_LIMIT the cache's size limit: bytes, or with K, M or G (1G)\n"
    "The tool finds its unpacked files in QUARN_PORTABLE_DIR and the directory it was\n"
    "started from in QUARN_PORTABLE_EXEC_DIR.\n";

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
    std::fputs(HELP_TEXT, stdout);
    return 0;
}
