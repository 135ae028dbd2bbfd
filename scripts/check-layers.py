#!/usr/bin/env python3
"""Fails when a source file of the library includes a header of a layer above its own.

The library's folders are layers: a file may include headers of its own folder and of the folders
its layer is allowed to use, never of a folder above. docs/architecture.md draws the layers.
Usage: scripts/check-layers.py [source root, default: the repository's src/]
"""
import os
import re
import sys

# Each layer and the layers below it that it may use. script/ (text) and program/ (compiled
# records) are independent of each other; compile/ joins them; runtime/ plays a program without
# knowing how it was written; engine/ puts compiling and playing together; api/ faces the host.
ALLOWED = {
    "vars": set(),
    "script": set(),
    "program": {"vars"},
    "compile": {"script", "program", "vars"},
    "runtime": {"program", "vars"},
    "engine": {"compile", "runtime", "program", "script", "vars"},
    "api": {"engine", "compile", "runtime", "program", "script", "vars", "<public header>"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of_include(path):
    if "/" not in path:
        return "<public header>" if path == "morvanel.h" else None
    return path.split("/", 1)[0]


def check(root):
    problems = []
    for folder in sorted(os.listdir(root)):
        directory = os.path.join(root, folder)
        if not os.path.isdir(directory):
            continue
        if folder not in ALLOWED:
            problems.append("%s/: a folder that is no layer (add it to scripts/check-layers.py)" % folder)
            continue
        for name in sorted(os.listdir(directory)):
            path = os.path.join(directory, name)
            with open(path, encoding="utf-8", errors="replace") as source:
                text = source.read()
            for match in INCLUDE.finditer(text):
                target = layer_of_include(match.group(1))
                if target is None or target == folder:
                    continue
                if target not in ALLOWED[folder]:
                    line = text.count("\n", 0, match.start()) + 1
                    problems.append('%s/%s:%d: includes "%s": %s/ may not use %s' %
                                    (folder, name, line, match.group(1), folder, target))
    return problems


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "src")
    problems = check(os.path.normpath(root))
    for problem in problems:
        print(problem)
    if problems:
        print("%d include(s) run against the layers" % len(problems), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
