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
for suite in blackbox miniunz; do
    (cd "$work" && "$OLDPWD/$build/tests/${suite}_tests" --gtest_output="xml:$OLDPWD/$build/$suite-report.xml" \
        > /dev/null 2>&1) || status=1
done

python3 - "$build" > "$out" <<'PY'
import re, sys, xml.etree.ElementTree as ET
build = sys.argv[1]
def words(name):
    spaced = re.sub(r'(?<=[a-z0-9])(?=[A-Z])|(?<=[A-Z])(?=[A-Z][a-z])', ' ', name.split('/')[-1])
    return spaced.lower().capitalize()
print("# What was tried against the launcher and miniunz\n")
print("Written by `scripts/hardening-report.sh` from the test results; do not edit by hand.\n")
print("| Area | What was tried | Held |")
print("|---|---|---|")
for suite in ("blackbox", "miniunz"):
    root = ET.parse(f"{build}/{suite}-report.xml").getroot()
    for case in root.iter("testcase"):
        failed = case.find("failure") is not None
        skipped = case.get("result") == "skipped" or case.find("skipped") is not None
        held = "skipped" if skipped else ("no" if failed else "yes")
        print(f"| {suite} / {words(case.get('classname'))} | {words(case.get('name'))} | {held} |")
PY
echo "wrote $out"
exit $status
