#!/usr/bin/env python3
"""Turns a preset's compile database into one clang-tidy can read.

usage: analyse_db.py IN_DB OUT_DIR SOURCE_ROOT [--mingw TRIPLE] [--only-windows]
                     [--skip DIR]...

Keeps our own sources (not the build tree's generated ones, not GoogleTest),
compiles them with clang++ instead of g++, and drops what clang does not know
(the Windows-1251 execution character set) or should not stop on (-Werror:
a compiler warning is reported as a finding, not as a failed parse).

With --mingw the entries get clang's target for the MinGW triple and the
cross compiler's own include directories, so that the Windows branches are
parsed against the same headers the real build uses. --only-windows keeps the
sources whose code differs on Windows: the platform/, gui/win32/ and app/
layers and every source that names _WIN32 or WINAPI itself or through a
header of ours; the rest is the same code the native database covers.
--skip leaves out the sources under a directory of the tree.
"""
import functools
import json
import os
import re
import shlex
import subprocess
import sys

OWN_DIRS = ("app", "bench", "discovery", "firmware", "flashing", "gui", "link",
            "platform", "records", "sim", "tests", "tools", "ui")
WINDOWS_MARK = re.compile(r"_WIN32|WINAPI|<windows\.h>")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def own_source(path, root):
    rel = os.path.relpath(path, root)
    return rel.split(os.sep)[0] in OWN_DIRS and not rel.startswith("..")


@functools.lru_cache(maxsize=None)
def cross_include_dirs(compiler):
    out = subprocess.run([compiler, "-xc++", "-E", "-v", os.devnull],
                         capture_output=True, text=True, check=True).stderr
    dirs, inside = [], False
    for line in out.splitlines():
        if line.startswith("#include <...> search starts here:"):
            inside = True
        elif line.startswith("End of search list."):
            break
        elif inside:
            d = os.path.normpath(line.strip())
            # GCC's own intrinsics headers are GCC's; clang brings its own.
            if re.search(r"/include(-fixed)?$", d) and "/lib/gcc/" in d:
                continue
            dirs.append(d)
    return dirs


def read(path):
    return open(path, encoding="utf-8", errors="replace").read()


def own_headers(path, root, seen):
    """The headers of ours that a source includes, directly or not."""
    for inc in INCLUDE.findall(read(path)):
        header = os.path.realpath(os.path.join(root, inc))
        if header in seen or not os.path.isfile(header):
            continue
        seen.add(header)
        yield header
        yield from own_headers(header, root, seen)


def windows_specific(path, root, covered):
    """Whether the source names Windows, or is the first source seen that
    includes a header of ours that does (one parse per header is enough)."""
    if WINDOWS_MARK.search(read(path)):
        return True
    fresh = [h for h in own_headers(path, root, set())
             if h not in covered and WINDOWS_MARK.search(read(h))]
    covered.update(fresh)
    return bool(fresh)


def main():
    args = sys.argv[1:]
    mingw = None
    only_windows = "--only-windows" in args
    if only_windows:
        args.remove("--only-windows")
    skip = []
    while "--skip" in args:
        i = args.index("--skip")
        skip.append(args[i + 1].rstrip("/") + "/")
        del args[i:i + 2]
    if "--mingw" in args:
        i = args.index("--mingw")
        mingw = args[i + 1]
        del args[i:i + 2]
    in_db, out_dir, root = args
    root = os.path.realpath(root)
    entries = json.load(open(in_db, encoding="utf-8"))
    clang = subprocess.run(["clang++", "-print-resource-dir"], capture_output=True,
                           text=True, check=True).stdout.strip()
    out, seen, covered = [], set(), set()
    for e in entries:
        path = os.path.realpath(os.path.join(e["directory"], e["file"]))
        if not path.endswith(".cpp") or not own_source(path, root):
            continue
        rel = os.path.relpath(path, root)
        if rel.startswith(tuple(skip)):
            continue
        if only_windows and not (rel.startswith(("platform/", "gui/win32/", "app/"))
                                 or windows_specific(path, root, covered)):
            continue
        argv = e["arguments"] if "arguments" in e else shlex.split(e["command"])
        # A source built by several targets is parsed once per set of macros.
        key = (path, tuple(sorted(a for a in argv if a.startswith("-D"))))
        if key in seen:
            continue
        seen.add(key)
        compiler = argv[0]
        kept = ["clang++"]
        for a in argv[1:]:
            if a.startswith(("-fexec-charset=", "-finput-charset=")) or a == "-Werror":
                continue
            kept.append(a)
        if mingw:
            extra = ["--target=" + mingw, "-nostdinc", "-isystem", clang + "/include"]
            for d in cross_include_dirs(compiler):
                extra += ["-isystem", d]
            kept[1:1] = extra
        out.append({"directory": e["directory"], "file": path, "arguments": kept})
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "compile_commands.json"), "w", encoding="utf-8") as f:
        json.dump(out, f, indent=1)
    for e in out:
        print(e["file"])


if __name__ == "__main__":
    main()
