#!/usr/bin/env python3
"""Times our package and the usual unzip tools on the payloads that run.sh
prepared, and prints (and writes) one table.

    bench/bench.py --work DIR --out-root DIR --miniunz PATH [--runs N]
                   --payload NAME... [--report FILE]

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
BASE = "Info-ZIP unzip -q -o"
BEGIN, END = "<!-- bench/run.sh: table begins -->", "<!-- bench/run.sh: table ends -->"
MIB = 1024 * 1024


def fill(args, values):
    return [a.format(**values) for a in args]


def quote(args):
    return " ".join("'%s'" % a if any(c in a for c in " $\"'") else a for a in args)


def run_round(payload, values, out_root, order, json_path):
    """One hyperfine call that runs each tool once; returns {label: (wall, user, sys)}."""
    cmd = ["hyperfine", "--style", "none", "-N", "--runs", "1", "--export-json", json_path]
    names = []
    for label, args, premade in order:
        out = os.path.join(out_root, "%s-%d" % (payload, [t[0] for t in TOOLS].index(label)))
        cmd += ["--prepare", "mkdir -p %s" % out if premade else "true"]
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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--work", required=True)
    ap.add_argument("--out-root", required=True)
    ap.add_argument("--miniunz", required=True)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--payload", action="append", required=True)
    ap.add_argument("--report")
    opts = ap.parse_args()

    started = machine()
    sections, checks = [], []
    for payload in opts.payload:
        d = os.path.join(opts.work, payload)
        values = {"zip": os.path.join(d, "image.zip"), "pkg": os.path.join(d, "package.run"),
                  "selfx": os.path.join(d, "makeself.run"), "miniunz": opts.miniunz}
        samples = {label: [] for label, _, _ in TOOLS}
        for round_no in range(opts.runs + 1):
            shift = round_no % len(TOOLS)
            order = TOOLS[shift:] + TOOLS[:shift]
            times = run_round(payload, values, opts.out_root, order,
                              os.path.join(opts.work, "round.json"))
            if round_no > 0:  # round 0 is the warm-up
                for label, t in times.items():
                    samples[label].append(t)
            print("bench: %s round %d of %d done" % (payload, round_no, opts.runs),
                  file=sys.stderr)
        shutil.rmtree(opts.out_root, ignore_errors=True)
        os.makedirs(opts.out_root, exist_ok=True)

        median = {label: statistics.median(t[0] for t in s) for label, s in samples.items()}
        base = median[BASE]
        size = sum(os.path.getsize(os.path.join(r, f))
                   for r, _, fs in os.walk(os.path.join(d, "tree")) for f in fs)
        files = sum(len(fs) for _, _, fs in os.walk(os.path.join(d, "tree")))
        lines = ["### %s payload: %.0f MiB in %d files, zip %.0f MiB" % (
            payload, size / MIB, files, os.path.getsize(values["zip"]) / MIB), "",
            "| command | median | user | system | ratio to unzip |",
            "|---|---:|---:|---:|---:|"]
        for label, _, _ in TOOLS:
            s = samples[label]
            lines.append("| %s | %.3f s | %.3f s | %.3f s | %.2f |" % (
                label, median[label], statistics.median(t[1] for t in s),
                statistics.median(t[2] for t in s), median[label] / base))

        out = os.path.join(opts.out_root, payload + "-rss")
        launcher_own = own_peak_kib([values["pkg"]])
        launcher_tree = peak_rss_kib([values["pkg"]])
        miniunz = peak_rss_kib(fill(TOOLS[1][1], dict(values, out=out)))
        shutil.rmtree(out, ignore_errors=True)
        lines += ["", "Peak resident memory: launcher %.1f MiB (its own; %.1f MiB with the "
                  "programs it runs, by /usr/bin/time -v), miniunz %.1f MiB." % (
                      launcher_own / 1024, launcher_tree / 1024, miniunz / 1024), ""]
        sections.append("\n".join(lines))

        ours = median["our package, end to end"]
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

    report = ["Medians of %d runs after a warm-up, all in one run of bench/run.sh, the "
              "tools taking turns. Ratios are to Info-ZIP unzip's unpacking alone "
              "(lower is faster); unpacking tools write into a fresh directory in /tmp, "
              "where the launcher unpacks too, and each output is removed right after "
              "its run, as the launcher removes its own." % opts.runs, "",
              "Machine: %s." % started, ""] + sections + [
              "Targets:", ""] + ["- %s: %s (%s)" % (name, "met" if ok else "NOT met", value)
                                 for name, ok, value in checks]
    text = "\n".join(report) + "\n"
    print(text)
    if opts.report:
        write_report(opts.report, text)


if __name__ == "__main__":
    main()
