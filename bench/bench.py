#!/usr/bin/env python3
"""Times our package and the usual unzip tools on the payloads that run.sh
prepared, and mkportable and the usual archivers packing the same trees;
prints (and writes) the tables.

    bench/bench.py --work DIR --out-root DIR --miniunz PATH --mkportable PATH
                   [--runs N] --payload NAME... [--report FILE]

Each round runs every command once, through hyperfine, in an order rotated
from round to round: the tools take turns, so a machine that slows down or
a file system that fills up in the meantime weighs on all of them alike. The
first round is a warm-up and is not counted. Extraction targets are fresh
directories below --out-root, which should lie where the launcher unpacks
(/tmp), so that every tool writes to the same file system.
"""

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

# Row label, command (argument list; {zip} {out} {pkg} {selfx} {miniunz} are
# filled in), whether the target directory must exist beforehand.
TOOLS = [
    ("our package, end to end", ["{pkg}"], False),
    ("our miniunz -o -d", ["{miniunz}", "-o", "-d", "{out}", "{zip}"], False),
    ("Info-ZIP unzip -q -o", ["unzip", "-q", "-o", "{zip}", "-d", "{out}"], False),
    ("bsdtar -xf", ["bsdtar", "-xf", "{zip}", "-C", "{out}"], True),
    ("Debian miniunzip -o -d", ["miniunzip", "-o", "{zip}", "-d", "{out}"], True),
    ("makeself --noexec", ["{selfx}", "--noexec", "--target", "{out}", "--quiet"], True),
]
# The large package again, signed, on a machine whose policy requires the
# signature: {policy} holds quarn-portable/, laid over /etc in a private
# mount namespace for this run alone.
POLICY_TOOL = ("our package, signed, under a policy",
               ["unshare", "-m", "sh", "-c",
                "mount -t overlay overlay -o lowerdir={policy}:/etc /etc && exec {spkg}"], False)
# The same package in the same kind of namespace, over an /etc without a
# policy: the ratio of the two is what the policy costs, not the namespace.
NO_POLICY_TOOL = ("our package, signed, without a policy",
                  ["unshare", "-m", "sh", "-c",
                   "mount -t overlay overlay -o lowerdir={nopolicy}:/etc /etc && exec {spkg}"],
                  False)
# A package that its maker marked cacheable ({cpkg}), started from its
# cache entry, and its first start, which fills the entry (the entry is
# removed untimed before it). The cache lies below --work.
CACHE_TOOLS = [
    ("our package, cached, second start", ["{cpkg}"], False),
    ("our package, cached, first start", ["{cpkg}"], "{cpkg} --portable-cache-clear"),
]
CACHED, FILLING = CACHE_TOOLS[0][0], CACHE_TOOLS[1][0]
# The package for ARM machines, run by qemu-aarch64 through a binfmt_misc
# entry of a user namespace's own (the machine's stays untouched).
ARM_BINFMT = (r":aarch64:M::\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00:"
              r"\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:"
              r"/usr/bin/qemu-aarch64-static:F")
ARM_TOOL = ("our ARM package, end to end (emulated)",
            ["unshare", "--user", "--map-root-user", "--mount", "sh", "-c",
             # Double quotes only: quote() wraps the script in single ones.
             "mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc && printf \"%s\" \"" + ARM_BINFMT +
             "\" > /proc/sys/fs/binfmt_misc/register && exec {apkg}"], False)
OURS = "our package, end to end"
BASE = "Info-ZIP unzip -q -o"
# Packing the tree ({tree}) into {out}: row label, command, whether the
# target directory must exist beforehand (all do).
PACKERS = [
    ("mkportable build", ["{mkportable}", "build", "-q", "-o", "{out}/package.run", "--image",
                          "{tree}", "--command", "true"], True),
    ("mkportable build --level 12", ["{mkportable}", "build", "-q", "-o", "{out}/package.run",
                                     "--image", "{tree}", "--command", "true", "--level", "12"],
     True),
    ("zip -r -6", ["sh", "-c", "cd {tree} && exec zip -q -r -6 {out}/image.zip ."], True),
    ("zip -r -9", ["sh", "-c", "cd {tree} && exec zip -q -r -9 {out}/image.zip ."], True),
    ("bsdtar --format zip", ["bsdtar", "-c", "--format", "zip", "-f", "{out}/image.zip", "-C",
                             "{tree}", "."], True),
    ("makeself (gzip)", ["makeself", "--quiet", "--nox11", "--gzip", "{tree}",
                         "{out}/makeself.run", "bench", "true"], True),
]
PACK_BASE = "zip -r -6"
BEGIN, END = "<!-- bench/run.sh: table begins -->", "<!-- bench/run.sh: table ends -->"
MIB = 1024 * 1024


def fill(args, values):
    return [a.format(**values) for a in args]


def quote(args):
    return " ".join("'%s'" % a if any(c in a for c in " $\"'") else a for a in args)


def run_round(tools, payload, values, out_root, order, json_path):
    """One hyperfine call that runs each of `tools` once, in `order`; returns
    {label: (wall, user, sys)}."""
    cmd = ["hyperfine", "--style", "none", "-N", "--runs", "1", "--export-json", json_path]
    names = []
    for label, args, premade in order:
        out = os.path.join(out_root, "%s-%d" % (payload, [t[0] for t in tools].index(label)))
        if isinstance(premade, str):
            prepare = premade.format(**values)
        else:
            prepare = "mkdir -p %s" % out if premade else "true"
        cmd += ["--prepare", prepare]
        names.append(label)
        cmd += ["-n", label, quote(fill(args, dict(values, out=out)))]
    # Each output is removed right after its run, untimed, as the launcher
    # removes its own at the end of its run: every run then starts just after
    # a tree of the same size was removed. (Removing before a run instead
    # favours the unpacking tools on file systems where creating files costs
    # more a while after a removal than at once.)
    cmd += ["--cleanup", "sh -c 'rm -rf %s/%s-*'" % (out_root, payload)]
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    with open(json_path) as f:
        results = json.load(f)["results"]
    times = {}
    for name, r in zip(names, results):
        if r.get("exit_codes", [0]) != [0]:
            sys.exit("bench: '%s' failed with exit status %s" % (name, r["exit_codes"]))
        times[name] = (r["times"][0], r["user"], r["system"])
    return times


def peak_rss_kib(args):
    """Peak resident memory of the process tree (GNU time -v), in KiB."""
    proc = subprocess.run(["/usr/bin/time", "-v"] + args, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True, check=True)
    for line in proc.stderr.splitlines():
        if "Maximum resident set size" in line:
            return int(line.split(":")[1])
    sys.exit("bench: /usr/bin/time -v printed no peak memory")


def measure(tools, payload, values, opts, what, runs, warm_up=True):
    """Runs every tool `runs` times, after a warm-up round if `warm_up`,
    taking turns; returns {label: [(wall, user, sys), ...]}."""
    samples = {label: [] for label, _, _ in tools}
    first = 0 if warm_up else 1
    for round_no in range(first, runs + 1):
        shift = round_no % len(tools)
        order = tools[shift:] + tools[:shift]
        times = run_round(tools, payload, values, opts.out_root, order,
                          os.path.join(opts.work, "round.json"))
        if round_no > 0:  # round 0 is the warm-up
            for label, t in times.items():
                samples[label].append(t)
        print("bench: %s %s round %d of %d done" % (payload, what, round_no, runs),
              file=sys.stderr)
    shutil.rmtree(opts.out_root, ignore_errors=True)
    os.makedirs(opts.out_root, exist_ok=True)
    return samples


def row(label, samples, *cells):
    """A table row: the label, the medians of wall, user and system time, then `cells`."""
    times = ["%.3f s" % statistics.median(t[i] for t in samples) for i in range(3)]
    return "| %s |" % " | ".join([label] + times + list(cells))


def image_bytes(package, mkportable):
    """Size of the image element of `package`, as mkportable info reports it."""
    info = json.loads(subprocess.run([mkportable, "info", "--json", package], check=True,
                                     capture_output=True, text=True).stdout)
    return next(e["size"] for e in info["elements"] if e["name"] == "image")


def packing(payload, values, opts, checks):
    """The packing table of one payload: times, sizes, mkportable's memory."""
    # Packing the large tree takes minutes a round: no warm-up round, only a
    # reading of the tree into the page cache, and fewer rounds.
    for root, _, files in os.walk(values["tree"]):
        for f in files:
            path = os.path.join(root, f)
            if not os.path.islink(path):
                with open(path, "rb") as src:
                    while src.read(1 << 20):
                        pass
    samples = measure(PACKERS, payload, values, opts, "packing", opts.pack_runs, warm_up=False)
    median = {label: statistics.median(t[0] for t in s) for label, s in samples.items()}
    # Sizes (and mkportable's peak memory) from one more, untimed run each.
    sizes, peak = {}, 0
    for i, (label, args, _) in enumerate(PACKERS):
        out = os.path.join(opts.out_root, "%s-size-%d" % (payload, i))
        os.makedirs(out)
        cmd = fill(args, dict(values, out=out))
        if args[0] == "{mkportable}":
            peak = max(peak, peak_rss_kib(cmd))
            sizes[label] = image_bytes(os.path.join(out, "package.run"), opts.mkportable)
        else:
            subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
            sizes[label] = sum(os.path.getsize(os.path.join(out, f)) for f in os.listdir(out))
        shutil.rmtree(out)
    base = median[PACK_BASE]
    lines = ["Packing the %s payload's tree (mkportable: the image's size; the package adds "
             "the launcher and miniunz):" % payload, "",
             "| command | median | user | system | size | ratio to zip -r -6 |",
             "|---|---:|---:|---:|---:|---:|"]
    for label, _, _ in PACKERS:
        lines.append(row(label, samples[label], "%.2f MiB" % (sizes[label] / MIB),
                         "%.2f" % (median[label] / base)))
    lines += ["", "Peak resident memory of mkportable build: %.1f MiB." % (peak / 1024), ""]

    ours = median["mkportable build"]
    checks.append(("%s: build at most 0.5 x zip -r -6" % payload, ours <= 0.5 * base,
                   "%.2f" % (ours / base)))
    if payload == "large":
        checks.append(("large: image no larger than zip -6's",
                       sizes["mkportable build"] <= sizes["zip -r -6"],
                       "%.3f x" % (sizes["mkportable build"] / sizes["zip -r -6"])))
        checks.append(("large: image at level 12 no larger than zip -9's",
                       sizes["mkportable build --level 12"] <= sizes["zip -r -9"],
                       "%.3f x" % (sizes["mkportable build --level 12"] / sizes["zip -r -9"])))
    return "\n".join(lines)


def own_peak_kib(args):
    """Peak resident memory (VmHWM) of the started process itself, not of its
    children: sampled from /proc until it exits."""
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL)
    peak = 0
    status = "/proc/%d/status" % proc.pid
    while proc.poll() is None:
        try:
            with open(status) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
        time.sleep(0.001)
    if proc.returncode != 0:
        sys.exit("bench: %s failed with exit status %d" % (args[0], proc.returncode))
    return peak


def machine():
    cpu = "unknown processor"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kib = int(f.readline().split()[1])
    fs = subprocess.run(["stat", "-f", "-c", "%T", "/tmp"], capture_output=True,
                        text=True).stdout.strip()
    return "%s, %d processors, %.0f GiB memory, Linux %s, /tmp on %s; load average %s" % (
        cpu, os.cpu_count(), mem_kib / MIB, platform.release(), fs,
        " ".join("%.2f" % x for x in os.getloadavg()))


def write_report(path, text):
    """Puts `text` between the markers in `path`, keeping the rest of the
    file; a file without them gets them at its end."""
    try:
        with open(path) as f:
            doc = f.read()
    except FileNotFoundError:
        doc = ""
    if BEGIN in doc and END in doc:
        head, rest = doc.split(BEGIN, 1)
        tail = rest.split(END, 1)[1]
    else:
        head, tail = doc + ("\n" if doc else ""), "\n"
    with open(path + ".part", "w") as f:
        f.write(head + BEGIN + "\n" + text + END + tail)
    os.replace(path + ".part", path)


def arm_runs(values):
    """Whether the ARM package starts here through ARM_TOOL's emulation."""
    out = subprocess.run(fill(ARM_TOOL[1], values), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return out.returncode == 0


def arm_note(values, arm_run, median):
    """The sizes of the Intel and the ARM package, and how the ARM one ran."""
    if not os.path.exists(values["apkg"]):
        return "No ARM package: this build has no ARM launcher (no aarch64 cross compiler)."
    text = "Package size: %.2f MiB for Intel (x86_64), %.2f MiB for ARM (aarch64); each carries its " \
           "own launcher and miniunz." % (os.path.getsize(values["pkg"]) / MIB,
                                           os.path.getsize(values["apkg"]) / MIB)
    if not arm_run:
        return text + " The ARM package could not start here (no qemu-aarch64, or no binfmt_misc " \
                      "in user namespaces): not timed."
    return text + " The ARM package's time is under emulation by qemu-aarch64 (user mode) on this " \
                  "Intel machine, %.2f x the Intel package's: it says what emulation costs, not how " \
                  "fast an ARM machine is." % (median[ARM_TOOL[0]] / median[OURS])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--work", required=True)
    ap.add_argument("--out-root", required=True)
    ap.add_argument("--miniunz", required=True)
    ap.add_argument("--mkportable", required=True)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--pack-runs", type=int, default=3)
    ap.add_argument("--payload", action="append", required=True)
    ap.add_argument("--report")
    ap.add_argument("--policy", help="directory holding quarn-portable/ for the run under a policy")
    opts = ap.parse_args()

    started = machine()
    sections, checks = [], []
    small_start = None
    for payload in opts.payload:
        d = os.path.join(opts.work, payload)
        values = {"zip": os.path.join(d, "image.zip"), "pkg": os.path.join(d, "package.run"),
                  "selfx": os.path.join(d, "makeself.run"), "miniunz": opts.miniunz,
                  "mkportable": opts.mkportable, "tree": os.path.join(d, "tree"),
                  "spkg": os.path.join(d, "signed.run"), "policy": opts.policy,
                  "nopolicy": os.path.join(d, "nopolicy"), "cpkg": os.path.join(d, "cached.run"),
                  "apkg": os.path.join(d, "package-arm64.run")}
        policy_run = payload == "large" and opts.policy is not None
        arm_run = os.path.exists(values["apkg"]) and arm_runs(values)
        tools = TOOLS + CACHE_TOOLS + ([NO_POLICY_TOOL, POLICY_TOOL] if policy_run else [])
        tools = tools + [ARM_TOOL] if arm_run else tools
        samples = measure(tools, payload, values, opts, "unpacking", opts.runs)

        median = {label: statistics.median(t[0] for t in s) for label, s in samples.items()}
        base = median[BASE]
        size = sum(os.path.getsize(os.path.join(r, f))
                   for r, _, fs in os.walk(os.path.join(d, "tree")) for f in fs)
        files = sum(len(fs) for _, _, fs in os.walk(os.path.join(d, "tree")))
        lines = ["### %s payload: %.0f MiB in %d files, zip %.0f MiB" % (
            payload, size / MIB, files, os.path.getsize(values["zip"]) / MIB), "",
            "| command | median | user | system | ratio to unzip |",
            "|---|---:|---:|---:|---:|"]
        for label, _, _ in tools:
            lines.append(row(label, samples[label], "%.2f" % (median[label] / base)))
        if policy_run:
            lines += ["", "Under a policy the launcher reads the whole package once more (one "
                      "SHA-256 pass) and checks the signature before it unpacks: %.2f x the "
                      "same run without a policy (both in a private mount namespace with an "
                      "overlay on /etc); %.2f x the plain end-to-end run." % (
                          median[POLICY_TOOL[0]] / median[NO_POLICY_TOOL[0]],
                          median[POLICY_TOOL[0]] / median[OURS])]
        elif payload == "large":
            lines += ["", "The run under a signature policy needs root (a private mount "
                      "namespace): not measured this time."]
        lines += ["", arm_note(values, arm_run, median)]

        out = os.path.join(opts.out_root, payload + "-rss")
        launcher_own = own_peak_kib([values["pkg"]])
        launcher_tree = peak_rss_kib([values["pkg"]])
        miniunz = peak_rss_kib(fill(TOOLS[1][1], dict(values, out=out)))
        shutil.rmtree(out, ignore_errors=True)
        lines += ["", "Peak resident memory: launcher %.1f MiB (its own; %.1f MiB with the "
                  "programs it runs, by /usr/bin/time -v), miniunz %.1f MiB." % (
                      launcher_own / 1024, launcher_tree / 1024, miniunz / 1024), ""]
        sections.append("\n".join(lines))

        ours = median[OURS]
        checks.append(("%s: first (filling) cached start at most 1.1 x end to end" % payload,
                       median[FILLING] <= 1.1 * ours, "%.2f" % (median[FILLING] / ours)))
        if payload == "small":
            small_start = ours
        elif small_start is not None:
            checks.append(("%s: cached second start at most 2 x the small package's start" % payload,
                           median[CACHED] <= 2 * small_start, "%.2f" % (median[CACHED] / small_start)))
        if policy_run:
            ratio = median[POLICY_TOOL[0]] / median[NO_POLICY_TOOL[0]]
            checks.append(("large: under a signature policy at most 1.15 x without", ratio <= 1.15,
                           "%.2f" % ratio))
        if payload == "large":
            checks.append(("large: package at most 0.7 x unzip", ours <= 0.7 * base,
                           "%.2f" % (ours / base)))
            checks.append(("large: package faster than bsdtar", ours < median["bsdtar -xf"],
                           "%.2f x bsdtar" % (ours / median["bsdtar -xf"])))
        else:
            checks.append(("%s: package no slower than unzip" % payload, ours <= base,
                           "%.2f" % (ours / base)))
            selfx = median["makeself --noexec"]
            checks.append(("%s: package at most 0.35 x makeself" % payload, ours <= 0.35 * selfx,
                           "%.2f x makeself" % (ours / selfx)))
        checks.append(("%s: launcher at most 4 MiB" % payload, launcher_own <= 4096,
                       "%.1f MiB" % (launcher_own / 1024)))
        checks.append(("%s: miniunz at most 64 MiB" % payload, miniunz <= 64 * 1024,
                       "%.1f MiB" % (miniunz / 1024)))
        sections.append(packing(payload, values, opts, checks))

    report = ["Unpacking: medians of %d runs after a warm-up; packing: medians of %d runs "
              "after reading the tree into the page cache. All in one run of bench/run.sh, the "
              "tools taking turns. Ratios are to Info-ZIP unzip's unpacking alone "
              "(lower is faster); unpacking tools write into a fresh directory in /tmp, "
              "where the launcher unpacks too, and each output is removed right after "
              "its run, as the launcher removes its own. Packing ratios are to "
              "`zip -r -6`'s time; packers write into a fresh directory in /tmp and read "
              "the tree from the page cache." % (opts.runs, opts.pack_runs), "",
              "Machine: %s." % started, ""] + sections + [
              "Targets:", ""] + ["- %s: %s (%s)" % (name, "met" if ok else "NOT met", value)
                                 for name, ok, value in checks]
    text = "\n".join(report) + "\n"
    print(text)
    if opts.report:
        write_report(opts.report, text)


if __name__ == "__main__":
    main()
