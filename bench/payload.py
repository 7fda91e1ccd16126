#!/usr/bin/env python3
"""Writes a benchmark payload: a directory tree and the same tree as a zip.

    bench/payload.py small|large TREE_DIR ZIP_FILE

The tree is the same for the same name on machines that have the same system
programs: every choice comes from one fixed seed. "small" is about 8 MB in
about 300 files (scripts, text, copies of system programs, random data);
"large" is about 300 MB in about 3,000 files, mixed compressible and
incompressible, one of them 150 MB. The zip is deflated at level 6 with
fixed times and Unix modes, directories first as their own entries.
"""

import bisect
import os
import random
import stat
import sys
import zipfile

SEED = 20240917
MIB = 1 << 20

# name: (files besides the huge one, bytes they hold together, huge file's size)
SHAPES = {
    "small": (300, 8 * MIB, 0),
    "large": (2999, 150 * MIB, 150 * MIB),
}
# Share of each kind among the ordinary files.
KINDS = [("script", 0.15), ("text", 0.45), ("program", 0.10), ("random", 0.30)]


def vocabulary(rng):
    letters = "etaoinshrdlucmfwypvbgkjqxz"
    weights = [12, 9, 8, 8, 7, 7, 6, 6, 6, 4, 3, 3, 3, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1]
    return ["".join(rng.choices(letters, weights, k=rng.randint(2, 11))) for _ in range(3000)]


def text_pool(rng, size):
    """Log-like lines of words: compresses about three to one."""
    words = vocabulary(rng)
    lines, total, n = [], 0, 0
    while total < size:
        n += 1
        line = "%06d %s: %s\n" % (n, rng.choice(("INFO", "WARN", "DEBUG")),
                                   " ".join(rng.choices(words, k=rng.randint(4, 18))))
        lines.append(line)
        total += len(line)
    return "".join(lines).encode()[:size]


def text_bytes(rng, pool, size):
    start = rng.randrange(len(pool))
    out = bytearray()
    while len(out) < size:
        out += pool[start:start + size - len(out)]
        start = 0
    return bytes(out)


def script_bytes(rng, index, size):
    body = "#!/bin/sh\n# helper %d\nset -eu\n" % index
    n = 0
    while len(body) < size:
        n += 1
        body += 'step%d() {\n    echo "step %d of %d: $1"\n    [ -d "$2" ] || mkdir -p "$2"\n}\n' % (
            n, n, rng.randint(1, 99))
    return body.encode()[:size] + b"\nexit 0\n"


def system_programs():
    """(size, path) of the regular files of 16 KiB to 1 MiB in /usr/bin, smallest first."""
    found = []
    for name in sorted(os.listdir("/usr/bin")):
        path = os.path.join("/usr/bin", name)
        try:
            st = os.lstat(path)
        except OSError:
            continue
        if stat.S_ISREG(st.st_mode) and 16 * 1024 <= st.st_size <= MIB and os.access(path, os.R_OK):
            found.append((st.st_size, path))
    return sorted(found)


def plan_files(rng, count, total, programs):
    """(relative path, kind, size or program path) for `count` ordinary files
    of about `total` bytes."""
    kinds = rng.choices([k for k, _ in KINDS], [w for _, w in KINDS], k=count)
    raw = [min(rng.lognormvariate(9.5, 1.3), 40.0 * total / count) for _ in range(count)]
    scale = total / sum(raw)
    program_sizes = [s for s, _ in programs]
    sizes = []
    for kind, size in zip(kinds, raw):
        size = max(64, int(size * scale))
        if kind == "script":
            size = min(size, 8192)
        elif kind == "program" and programs:
            # The program nearest in size, so that the total stays as planned.
            at = min(bisect.bisect_left(program_sizes, size) + rng.randint(-2, 2), len(programs) - 1)
            size = programs[max(at, 0)]
        sizes.append(size)
    # Text and random data make up what the other kinds leave of the total.
    fixed = sum(s[0] if isinstance(s, tuple) else s for k, s in zip(kinds, sizes)
                if k in ("script", "program"))
    free = sum(s for k, s in zip(kinds, sizes) if k in ("text", "random"))
    fill = max(total - fixed, free // 4) / max(free, 1)
    # About a dozen files to a directory, as in the trees that programs ship.
    top = ["bin", "lib", "share", "data", "etc", "var"]
    subs = max(2, count // 75)
    files = []
    for i, (kind, size) in enumerate(zip(kinds, sizes)):
        if kind in ("text", "random"):
            size = max(64, int(size * fill))
        folder = top[i % len(top)]
        if i % 7 == 0:
            folder += "/sub00/deep/er"
        elif i % 3:
            folder += "/sub%02d" % (i // len(top) % subs)
        ext = {"script": ".sh", "text": ".log", "program": "", "random": ".bin"}[kind]
        files.append(("%s/%s%04d%s" % (folder, kind, i, ext), kind, size))
    return files


def write_tree(name, root):
    count, total, huge = SHAPES[name]
    rng = random.Random("%s-%d" % (name, SEED))
    pool = text_pool(rng, 8 * MIB)
    for index, (rel, kind, size) in enumerate(plan_files(rng, count, total, system_programs())):
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        mode = 0o644
        if kind == "script":
            data, mode = script_bytes(rng, index, size), 0o755
        elif kind == "text":
            data = text_bytes(rng, pool, size)
        elif isinstance(size, tuple):
            with open(size[1], "rb") as f:
                data = f.read()
            mode = 0o755
        else:
            data = rng.randbytes(size)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode)
    if huge:
        # One large entry, compressible and incompressible mebibytes mixed.
        path = os.path.join(root, "data/huge/archive.bin")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            for _ in range(huge // MIB):
                f.write(text_bytes(rng, pool, MIB) if rng.random() < 0.5 else rng.randbytes(MIB))
        os.chmod(path, 0o644)


def write_zip(root, zip_path):
    when = (2020, 1, 1, 12, 0, 0)
    tmp = zip_path + ".part"
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as zf:
        for folder, dirs, files in os.walk(root):
            dirs.sort()
            rel_dir = os.path.relpath(folder, root)
            if rel_dir != ".":
                info = zipfile.ZipInfo(rel_dir + "/", when)
                info.create_system = 3
                info.external_attr = ((stat.S_IFDIR | 0o755) << 16) | 0x10
                zf.writestr(info, b"")
            for name in sorted(files):
                path = os.path.join(folder, name)
                info = zipfile.ZipInfo(os.path.relpath(path, root), when)
                info.create_system = 3
                info.external_attr = (os.lstat(path).st_mode & 0xFFFF) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as f:
                    zf.writestr(info, f.read(), compresslevel=6)
    os.replace(tmp, zip_path)


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in SHAPES:
        sys.exit("usage: payload.py small|large TREE_DIR ZIP_FILE")
    name, root, zip_path = sys.argv[1:]
    os.makedirs(root)
    write_tree(name, root)
    write_zip(root, zip_path)


if __name__ == "__main__":
    main()
