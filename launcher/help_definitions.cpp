#include "help_definitions.h"

namespace {

const HelpEntry SELF_HELP[] = {
    {PORTABLE_INFO_OPTION, "", "what the package holds and which record this machine would run",
     "Print the package's settings, who signed it (\"Signed by KEYID\" or \"Not signed\"), the sizes of its "
     "elements and images, the strict flag, every command record in words, and which record this machine "
     "would run and why. Any user may ask; no guard is taken."},
    {PORTABLE_LIST_OPTION, "", "the files of the image",
     "List the entries of the image, of both images of a dual-image package: mode, size, name and link "
     "target."},
    {PORTABLE_CHECK_OPTION, "",
     "whether the package is whole (its digest and every file)\nand signed by a key this machine trusts",
     "Check the package digest and, unless it fails, read every entry of the image with the unzip utility's "
     "own reader and rules, linked into the launcher: names, sizes, overlaps, CRCs, link targets. Then say who "
     "signed the package and whether that key is trusted on this machine. Nothing from the package is run and "
     "nothing is written; the exit status and the last line say what was found (see EXIT STATUS)."},
    {PORTABLE_HELP_OPTION, "", "this text",
     "For a package with settings: its name, version and summary, these options and the environment "
     "variables. For any other package the argument goes to the tool."},
    {PORTABLE_CACHE_OPTION, "", "a cached package: its cache entry and the cache's size",
     "For a package that its maker marked cacheable: print the path and size of this package's cache entry and "
     "the cache's total. For any other package the argument goes to the tool."},
    {PORTABLE_CACHE_CLEAR_OPTION, "", "a cached package: remove its cache entries",
     "For a package that its maker marked cacheable: remove this package's cache entries that no launch holds. "
     "For any other package the argument goes to the tool."},
};

const HelpEntry OWN_OPTIONS[] = {
    {"--extract", "DIR", "only unpack the image into DIR (made when missing)",
     "Only unpack the image into DIR, made with its parents; run nothing. Exit status 0, or 255 when DIR "
     "cannot be made."},
    {"-semdestroy", "", "release the instance guard of a launcher that was killed",
     "Release the instance guard left behind by a launcher that was killed: 0, or 1 with a message when the "
     "guard exists and cannot be removed (another user's)."},
};

const HelpEntry ENVIRONMENT[] = {
    {"TMPDIR", "", "where the working directory is made (default /tmp)",
     "Make the working directory there instead of /tmp, for one where /tmp is mounted noexec. The value is "
     "walked from / one name at a time: a symbolic link on the way is followed only when it belongs to root or "
     "to the user, at most 40 links in all; the directory reached must belong to root or to the user, and "
     "others may not write to it unless it is sticky; the value may be at most 485 bytes. Unset or empty: /tmp; "
     "set but not usable: one line on standard error says why, and /tmp is used."},
    {"QUARN_PORTABLE_QUIET", "", "set: no progress lines",
     "Set, even empty: leave out the progress lines \"Extracting...\" and \"Executing...\", so that the tool's "
     "output can be piped cleanly. Failures are still reported."},
    {"QUARN_PORTABLE_ERR_SH", "", "set: a shell in the working directory after a failed launch",
     "Set: open a shell in the working directory after a failed launch."},
    {"VESK_PORTABLE_INTERACTIVE", "", "set: run the first record without identifying the platform",
     "Set, even empty: take the first record without identifying the machine."},
    {"VESK_PORTABLE_DEBUG", "", "set: say why platform identification failed",
     "Set: say why platform identification failed."},
    {"QUARN_PORTABLE_REQUIRE_SIGNATURE", "", "1: run only a package signed by a trusted key",
     "1: run the package only when a key trusted on this machine signed it, as the policy's require-signature "
     "does. No value loosens the policy."},
    {"QUARN_PORTABLE_CACHE", "", "0: a fresh working directory instead of the cache",
     "0 (only that value): a cacheable package unpacks into a fresh working directory for this run, as one "
     "without the cache does."},
    {"QUARN_PORTABLE_CACHE_LIMIT", "", "the cache's size limit: bytes, or with K, M or G (1G)",
     "The cache's size limit in bytes, with an optional K, M or G (default 1G). Beyond it, later launches "
     "remove the least recently used entries. An invalid value gives one line and the default."},
};

const HelpEntry FOR_THE_TOOL[] = {
    {"QUARN_PORTABLE_DIR", "", "its unpacked files", "The tool's unpacked tree, wherever the tool starts."},
    {"QUARN_PORTABLE_EXEC_DIR", "", "the directory the package was started from",
     "The directory the package was started from."},
    {"SkyletLocale", "", "en", "Always en."},
};

const CheckStatusText STATUSES[] = {
    {0, "OK",
     "the package carries a digest, it matches, every entry was read and checked, and, when this machine's "
     "signature policy is in force, a trusted key signed it"},
    {1, "FAILED",
     "damage: the digest does not match (the check stops there), an entry is bad, or the file is cut short"},
    {2, "UNPROVEN: no damage found, but no digest shows that the package is unchanged",
     "no damage found, but the package carries no digest: nothing proves it unchanged"},
    {3, "NOT TRUSTED: no damage found, but no key trusted here vouches for the package",
     "no damage found, but a key not trusted here signed it, its signature does not match, it is unsigned "
     "while a policy is in force, or this machine's policy file refuses every launch"},
};

} // namespace

const std::span<const HelpEntry> SELF_HELP_OPTIONS = SELF_HELP;
const std::span<const HelpEntry> LAUNCHER_OPTIONS = OWN_OPTIONS;
const std::span<const HelpEntry> LAUNCHER_ENVIRONMENT = ENVIRONMENT;
const std::span<const HelpEntry> TOOL_ENVIRONMENT = FOR_THE_TOOL;
const std::span<const CheckStatusText> CHECK_STATUSES = STATUSES;
