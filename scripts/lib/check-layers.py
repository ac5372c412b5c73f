#!/usr/bin/env python3
"""Holds the sources and CMake files to the layer table (cmake/layers.txt).

Fails, naming file:line and the edge, when
  - a source of a target includes ("X.h") a header of a higher-ranked target,
  - a CMake file links a target to a higher-ranked one, or a "core" target to
    Qt Widgets,
  - a CMake file edits a target that another folder's CMake file defines,
  - an "apart" target and a client target reach each other (rank 0 aside).

Which file belongs to which target is read from the CMake files themselves
(add_library / add_executable / target_sources), so the table names targets
only. Folders of tests, benchmarks and build trees are not checked: tests may
use anything.

  check-layers.py [--root DIR] [--graph]
"""

import argparse
import os
import re
import sys

SKIPPED_DIRS = {"tests", "bench", ".git"}
WIDGET_MODULES = {"Qt6::Widgets", "Qt6::SvgWidgets", "Qt6::OpenGLWidgets", "Qt::Widgets"}
SCOPES = {"PUBLIC", "PRIVATE", "INTERFACE", "LINK_PUBLIC", "LINK_PRIVATE"}
LIBRARY_KINDS = {"STATIC", "SHARED", "OBJECT", "INTERFACE", "MODULE", "IMPORTED", "ALIAS",
                 "GLOBAL", "EXCLUDE_FROM_ALL", "WIN32", "MACOSX_BUNDLE"}
EDITING_COMMANDS = {"target_link_libraries", "target_sources", "target_include_directories",
                    "target_compile_definitions", "target_compile_options"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


class Layer:
    def __init__(self, rank, kind, folder, line):
        self.rank = rank  # an int, or None for "apart"
        self.kind = kind
        self.folder = folder
        self.line = line

    def label(self):
        return "apart" if self.rank is None else str(self.rank)


def read_table(path):
    layers = {}
    with open(path, encoding="utf-8") as f:
        for number, text in enumerate(f, 1):
            text = text.split("#", 1)[0].split()
            if not text:
                continue
            if len(text) != 4 or text[2] not in ("core", "widgets"):
                sys.exit(f"{path}:{number}: want 'rank target core|widgets folder'")
            rank = None if text[0] == "apart" else int(text[0])
            layers[text[1]] = Layer(rank, text[2], text[3], number)
    return layers


def cmake_commands(path):
    """(name, [args], line) of each command in a CMake file; comments dropped."""
    with open(path, encoding="utf-8") as f:
        source = f.read()
    clean = []
    in_quote = False
    i = 0
    while i < len(source):
        c = source[i]
        if c == '"':
            in_quote = not in_quote
        if c == "#" and not in_quote:
            while i < len(source) and source[i] != "\n":
                i += 1
            continue
        clean.append(c)
        i += 1
    text = "".join(clean)
    for match in re.finditer(r"\b([A-Za-z_][A-Za-z0-9_]*)\s*\(", text):
        depth = 1
        j = match.end()
        while j < len(text) and depth:
            depth += {"(": 1, ")": -1}.get(text[j], 0)
            j += 1
        args = re.findall(r'"[^"]*"|[^\s()"]+', text[match.end():j - 1])
        yield match.group(1).lower(), [a.strip('"') for a in args], text.count("\n", 0, match.start()) + 1


def cmake_files(root):
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root)
        dirs[:] = sorted(d for d in dirs
                         if not (rel == "." and (d in SKIPPED_DIRS or d.startswith("build")))
                         and not os.path.exists(os.path.join(folder, d, "CMakeCache.txt")))
        if "CMakeLists.txt" in files:
            yield os.path.join(folder, "CMakeLists.txt")


class Build:
    def __init__(self, root):
        self.root = root
        self.defined = {}  # target -> (cmake file, line)
        self.sources = {}  # target -> [source paths]
        self.links = []  # (cmake file, line, target, scope, dependency)
        self.edits = []  # (cmake file, line, command, target)
        for path in cmake_files(root):
            folder = os.path.dirname(path)
            for name, args, line in cmake_commands(path):
                if name in ("add_library", "add_executable", "qt_add_executable") and args:
                    self.defined.setdefault(args[0], (path, line))
                    self.add_sources(args[0], folder, args[1:])
                elif name in EDITING_COMMANDS and args:
                    self.edits.append((path, line, name, args[0]))
                    if name == "target_sources":
                        self.add_sources(args[0], folder, args[1:])
                    elif name == "target_link_libraries":
                        scope = "PUBLIC"
                        for arg in args[1:]:
                            if arg in SCOPES:
                                scope = arg
                            elif "$" not in arg:
                                self.links.append((path, line, args[0], scope, arg))

    def add_sources(self, target, folder, args):
        for arg in args:
            if arg in LIBRARY_KINDS or arg in SCOPES or "$" in arg:
                continue
            path = os.path.normpath(os.path.join(folder, arg))
            if os.path.isfile(path):
                self.sources.setdefault(target, []).append(path)

    def header_owners(self, layers):
        owners = {}
        for target, paths in self.sources.items():
            for path in paths:
                if path.endswith(".h"):
                    owners[os.path.basename(path)] = target
        # Headers CMake writes from a template (X.h.in) belong to the target
        # of the template's folder.
        for target, layer in layers.items():
            folder = os.path.join(self.root, layer.folder)
            if target not in self.sources and os.path.isdir(folder):
                for name in os.listdir(folder):
                    if name.endswith(".h.in"):
                        owners[name[:-3]] = target
        return owners


def allowed(user, used):
    if used.rank is None or user.rank is None:
        # The server side shares nothing with the client but rank 0.
        return (used.rank is None) == (user.rank is None) or used.rank == 0
    return used.rank <= user.rank


def rel(root, path):
    return os.path.relpath(path, root)


def check(root, layers, build):
    problems = []
    for path, line, target, scope, dependency in build.links:
        if target not in layers:
            continue
        user = layers[target]
        if dependency in WIDGET_MODULES and user.kind == "core":
            problems.append(f"{rel(root, path)}:{line}: {target} is core and links {dependency}")
        elif dependency in layers and not allowed(user, layers[dependency]):
            problems.append(f"{rel(root, path)}:{line}: {target} (rank {user.label()}) links "
                            f"{dependency} (rank {layers[dependency].label()})")
    for path, line, command, target in build.edits:
        home = build.defined.get(target)
        if home and home[0] != path:
            problems.append(f"{rel(root, path)}:{line}: {command} edits {target}, which "
                            f"{rel(root, home[0])}:{home[1]} defines")
    owners = build.header_owners(layers)
    for target, paths in sorted(build.sources.items()):
        if target not in layers:
            continue
        for path in sorted(set(paths)):
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, text in enumerate(f, 1):
                    match = INCLUDE.match(text)
                    if not match:
                        continue
                    owner = owners.get(os.path.basename(match.group(1)))
                    if owner in layers and not allowed(layers[target], layers[owner]):
                        problems.append(
                            f"{rel(root, path)}:{number}: {target} (rank {layers[target].label()}) "
                            f"includes \"{match.group(1)}\" of {owner} "
                            f"(rank {layers[owner].label()})")
    for target, (path, line) in sorted(build.defined.items()):
        if target.startswith("veilcast") and target not in layers:
            problems.append(f"{rel(root, path)}:{line}: {target} has no row in the layer table")
    return problems


def print_graph(layers, build):
    links = {}
    for _, _, target, scope, dependency in build.links:
        edge = dependency if scope == "PUBLIC" else f"{dependency}({scope.lower()})"
        if edge not in links.setdefault(target, []):
            links[target].append(edge)
    order = sorted(layers.items(), key=lambda kv: (kv[1].rank is None, kv[1].rank or 0, kv[0]))
    for target, layer in order:
        print(f"{layer.label():>5}  {layer.kind:7}  {target:22} "
              f"[{layer.folder}] -> {' '.join(links.get(target, [])) or '-'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--root", default=os.path.normpath(os.path.join(here, "..", "..")))
    parser.add_argument("--graph", action="store_true", help="print the table and each link")
    options = parser.parse_args()
    root = os.path.abspath(options.root)
    layers = read_table(os.path.join(root, "cmake", "layers.txt"))
    build = Build(root)
    if options.graph:
        print_graph(layers, build)
        return 0
    problems = check(root, layers, build)
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        print(f"check-layers: {len(problems)} edge(s) against cmake/layers.txt", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
