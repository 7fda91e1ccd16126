#!/bin/sh
# Runs the tests that attack the launcher and miniunz and writes what they
# tried, and whether it held, to docs/hardening.md.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
out=docs/hardening.md
work="$build/test-work"
mkdir -p "$work"

status=0
for suite in blackbox miniunz launcher platform mkportable; do
    (cd "$work" && "$OLDPWD/$build/tests/${suite}_tests" --gtest_output="xml:$OLDPWD/$build/$suite-report.xml" \
        > /dev/null 2>&1) || status=1
done

python3 - "$build" > "$out" <<'PY'
import re, sys, xml.etree.ElementTree as ET
build = sys.argv[1]
def words(name):
    spaced = re.sub(r'(?<=[a-z0-9])(?=[A-Z])|(?<=[A-Z])(?=[A-Z][a-z])', ' ', name.split('/')[-1])
    return spaced.lower().capitalize()
results = {}
for suite in ("blackbox", "miniunz", "launcher", "platform", "mkportable"):
    root = ET.parse(f"{build}/{suite}-report.xml").getroot()
    for case in root.iter("testcase"):
        failed = case.find("failure") is not None
        skipped = case.get("result") == "skipped" or case.find("skipped") is not None
        results[(suite, case.get("classname"), case.get("name"))] = "skipped" if skipped else ("no" if failed else "yes")

# The attacks of the last hardening round, each with the test that holds it
# (one row of that test's table where it is a table).
ATTACKS = [
    ("Root keeps a user's TMPDIR, a link the user re-points at a prepared tree while the tool runs",
     "blackbox", "HostileTmp", "AnotherUsersTmpdirLinkRepointedWhileTheToolRunsIsNeitherEnteredNorRun"),
    ("TMPDIR through other users' links, 41 links, /proc/self/cwd, a name with a blank beside a shorter one",
     "blackbox", "Launch", "MakesTheWorkingDirectoryInATmpdirThatIsSafe"),
    ("A tree deeper than any fixed limit, removed by the handler with no allocation",
     "blackbox", "Launch", "InterruptOutsideAChildRemovesATreeDeeperThanAnyFixedLimit"),
    ("SIGSTKFLT, the real-time range and fault signals sent from outside",
     "blackbox", "Launch", "InterruptOutsideAChildEndsAtOnceWithStatusOne"),
    ("Fault signals the process raises itself keep their default action",
     "launcher", "LauncherSignals", "FaultsRaisedHereKeepTheirDefaultSentOnesCleanUp"),
    ("A release file that is a FIFO or a device hangs nothing",
     "blackbox", "PlatformMatch", "DebugTellsWhyIdentificationFailed"),
    ("A tampered package's unzip utility is never run by --portable-check",
     "blackbox", "Launch", "PortableCheckTellsWhetherThePackageIsWhole"),
    ("A DT_NEEDED that holds a path does not pack the build machine's file",
     "mkportable", "Bundle", "LibraryNamesThatAreNoPlainFileNameAreRefused"),
    ("Depfile names that make or ninja would split, run or drop",
     "mkportable", "Depfile", "MakeAndNinjaReadEveryNameBack"),
    ("Escape sequences in bundled names reach no terminal",
     "mkportable", "Info", "EscapesPackageTextForTheTerminal"),
    ("A NUL byte in an entry name and an archive comment cut short",
     "mkportable", "ReadyZip", "ShapesReadAsTheUsualUnpackersReadThemOrAreRefusedAtBuildTime"),
]

print("# What was tried against the launcher, miniunz and mkportable\n")
print("Written by `scripts/hardening-report.sh` from the test results; do not edit by hand.\n")
print("## The last round's attacks\n")
print("| Attack | Test | Held |")
print("|---|---|---|")
for what, suite, cls, name in ATTACKS:
    held = results.get((suite, cls, name), "not run")
    print(f"| {what} | {suite} / {words(cls)} / {words(name)} | {held} |")
print("\n## Every attacking test of the launcher and miniunz\n")
print("| Area | What was tried | Held |")
print("|---|---|---|")
for (suite, cls, name), held in results.items():
    if suite in ("blackbox", "miniunz"):
        print(f"| {suite} / {words(cls)} | {words(name)} | {held} |")
PY
echo "wrote $out"
exit $status
