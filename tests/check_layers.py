#!/usr/bin/env python3
"""Fails when a file of the build includes what its room must not; one line per offence.

Usage: check_layers.py SOURCE_DIR BUILD_DIR [--ninja NINJA] [--deps FILE]

Why it works this way:
- The build records what each object really read: `ninja -t deps` lists every file the compiler
  opened for it, and compile_commands.json names its source and its include folders. No header
  escapes through its extension (.h), its bracket style or being generated into the build folder.
- Rooms call downwards, but only directly: a front end reaches device/ through wizard/'s headers
  by design, so the room rules cannot hold for everything an object opened. They hold for the
  #include lines (both bracket styles) of every project file the object opened, each resolved as
  the compiler does: the includer's folder for quotes, then the -iquote, -I and -isystem folders
  of the object's command; a name they do not resolve, which the compiler fails on, is still
  looked up in the source and build folders and Qt's, so that it counts for its room. A project
  file the object opened that no scanned line leads to (say, an include through a macro) fails,
  so the scan never sees less than the graph.
- What a room may not reach at all, directly or not, is checked on everything the object opened:
  platform/linux/ outside platform/, Qt outside the front ends, Qt Widgets outside app/, and Qt
  beyond Qt Core in frontend/.
- Operating-system and C headers (a name with an extension or a folder that is neither the
  project's nor Qt's) belong to platform/.

A file belongs to the room of the first folder of its path below the source folder, or below the
build folder (and its generated/ folder) when it was made by the build; platform/linux/ is a room
of its own inside platform/. The test rooms (tests/, bench/, fuzz/) may include anything.
"""
import argparse
import json
import os
import re
import shlex
import subprocess
import sys

# What each room may include besides itself: calls go downwards.
ALLOWED = {
    "platform": {"platform"},
    "firmware": {"platform"},
    "device": {"firmware", "platform"},
    "sim": {"firmware", "platform"},
    "wizard": {"device", "firmware", "platform"},
    "frontend": {"wizard", "device", "firmware", "sim", "platform"},
    "cli": {"frontend", "wizard", "sim", "platform"},
    "app": {"frontend", "wizard", "sim", "platform"},
    "res": set(),
}
# The device's protocol is what the simulated device speaks too.
SHARED = {"sim": {"device/protocol.hpp"}}
TEST_ROOMS = {"tests", "bench", "fuzz"}
QT_ROOMS = {"app", "cli", "frontend"}
LINUX = "platform/linux"

INCLUDE = re.compile(r'^\s*#\s*include(?:_next)?\s*([<"])([^>"]+)[>"]')
QT_FOLDER = re.compile(r"^qt\d+$")


def top(room):
    return room.split("/")[0]


def fail(message):
    print(f"check_layers: {message}", file=sys.stderr)
    sys.exit(2)


class Place:
    """Where a file lies: kind "project" (room, path below its root), "qt" (module) or "system"."""

    def __init__(self, kind, room="", where="", module=""):
        self.kind, self.room, self.where, self.module = kind, room, where, module


class Tree:
    def __init__(self, source, build):
        self.source = os.path.realpath(source)
        self.build = os.path.realpath(build)
        self.qt_folders = set()
        self._lines = {}
        self._places = {}
        self._resolved = {}

    def place(self, path):
        if path not in self._places:
            self._places[path] = self._place(path)
        return self._places[path]

    def _place(self, path):
        # The build folder first: it usually lies inside the source folder.
        for root in (self.build, self.source):
            if path.startswith(root + os.sep):
                where = path[len(root) + 1:]
                if root == self.build and where.startswith("generated" + os.sep):
                    where = where[len("generated") + 1:]
                parts = where.split(os.sep)
                room = LINUX if parts[:2] == LINUX.split("/") and len(parts) > 2 else parts[0]
                return Place("project", room, where.replace(os.sep, "/"))
        parts = path.split(os.sep)
        for k, part in enumerate(parts[:-1]):
            if QT_FOLDER.match(part):
                inside = parts[k + 1] if k + 2 < len(parts) else ""
                return Place("qt", module=inside if inside.startswith("Qt") else "")
        return Place("system")

    def show(self, path):
        return os.path.relpath(path, self.source) if path.startswith(self.source + os.sep) else path

    def includes(self, path):
        if path not in self._lines:
            found = []
            try:
                with open(path, encoding="utf-8", errors="replace") as text:
                    for line in text:
                        match = INCLUDE.match(line)
                        if match:
                            found.append((match.group(1), match.group(2)))
            except OSError:
                pass  # gone since the build, so nothing includes it any more
            self._lines[path] = found
        return self._lines[path]

    def resolve(self, bracket, name, includer, quote_dirs, angle_dirs):
        """The file the compiler opens for the include, or None for its own default folders."""
        dirs = ((os.path.dirname(includer),) + quote_dirs if bracket == '"' else ()) + angle_dirs
        key = (name, dirs)
        if key not in self._resolved:
            self._resolved[key] = self._resolve(name, dirs)
        return self._resolved[key]

    def _resolve(self, name, dirs):
        for folder in dirs:
            candidate = os.path.join(folder, name)
            if os.path.isfile(candidate):
                return os.path.realpath(candidate)
        # A Qt header of a module the object is not built with is still Qt, of that module.
        for qt in sorted(self.qt_folders) if name.startswith("Q") else ():
            for module in sorted(os.listdir(qt)):
                candidate = os.path.join(qt, module, name)
                if module.startswith("Qt") and os.path.isfile(candidate):
                    return os.path.realpath(candidate)
        # Beyond the object's folders, but still the project's: the compiler fails on it, and
        # the file still belongs to its room.
        for root in (self.source, os.path.join(self.build, "generated"), self.build):
            candidate = os.path.join(root, name)
            if os.path.isfile(candidate):
                return os.path.realpath(candidate)
        return None


def read_commands(tree):
    """{object: (source, quote dirs, angle dirs)} from compile_commands.json."""
    path = os.path.join(tree.build, "compile_commands.json")
    try:
        with open(path, encoding="utf-8") as text:
            entries = json.load(text)
    except (OSError, ValueError) as error:
        fail(f"cannot read {path} ({error}); configure with CMAKE_EXPORT_COMPILE_COMMANDS=ON")
    objects = {}
    for entry in entries:
        folder = entry["directory"]
        args = entry.get("arguments") or shlex.split(entry["command"])
        output, quote, angle = None, [], []
        k = 0
        while k < len(args):
            arg = args[k]
            for flag, into in (("-iquote", quote), ("-isystem", angle), ("-idirafter", angle),
                               ("-I", angle), ("-o", None)):
                if arg.startswith(flag):
                    value = arg[len(flag):]
                    if not value and k + 1 < len(args):
                        k += 1
                        value = args[k]
                    value = os.path.normpath(os.path.join(folder, value))
                    if into is None:
                        output = value
                    else:
                        into.append(value)
                    break
            k += 1
        if output is None:
            fail(f"no -o in the command for {entry['file']} in {path}")
        for include in angle:
            parts = include.split(os.sep)
            for n, part in enumerate(parts):
                if QT_FOLDER.match(part):
                    tree.qt_folders.add(os.sep.join(parts[:n + 1]))
        source = os.path.realpath(os.path.join(folder, entry["file"]))
        objects[output] = (source, tuple(quote), tuple(angle))
    return objects


def read_deps(tree, ninja, deps_file):
    """{object: [every file its compilation opened]} from `ninja -t deps` or its saved output."""
    if deps_file:
        try:
            with open(deps_file, encoding="utf-8") as text:
                listing = text.read()
        except OSError as error:
            fail(f"cannot read {deps_file}: {error}")
    else:
        try:
            run = subprocess.run([ninja, "-C", tree.build, "-t", "deps"], capture_output=True,
                                 text=True, check=False)
        except OSError as error:
            fail(f"cannot run {ninja}: {error}")
        if run.returncode != 0:
            fail(f"`{ninja} -C {tree.build} -t deps` failed: {run.stderr.strip()}")
        listing = run.stdout
    deps, current = {}, None
    for line in listing.splitlines():
        if not line.strip():
            current = None
        elif line[0].isspace():
            if current is not None:
                deps[current].append(os.path.realpath(os.path.join(tree.build, line.strip())))
        else:
            match = re.match(r"^(.*): #deps \d+", line)
            if match:
                current = os.path.normpath(os.path.join(tree.build, match.group(1)))
                deps[current] = []
    return deps


def reach_rules(room, place):
    """Rules that hold for everything a file of `room` opens, directly or not."""
    rules = []
    if place.kind == "project" and place.room == LINUX and top(room) != "platform":
        rules.append("only platform/ may use platform/linux/")
    if place.kind == "qt":
        if top(room) not in QT_ROOMS:
            rules.append("Qt only in app/, cli/, frontend/")
        elif place.module == "QtWidgets" and top(room) != "app":
            rules.append("Qt Widgets only in app/")
        elif top(room) == "frontend" and place.module not in ("", "QtCore"):
            rules.append("frontend/ uses Qt Core only")
    return rules


def include_rules(room, place, name):
    """Rules for a file of `room` that names the header in an #include line."""
    rules = reach_rules(room, place)
    own, target = top(room), top(place.room)
    if place.kind == "project" and target != own and target not in ALLOWED[own] and \
            place.where not in SHARED.get(own, ()):
        rules.append(f"{own}/ must not include {target}/")
    if place.kind == "system" and own != "platform" and ("." in name or "/" in name):
        rules.append("operating-system and C headers only in platform/")
    return rules


def check(tree, objects, deps):
    missing = sorted(obj for obj in objects if obj not in deps)
    if missing:
        fail(f"the dependency log of {tree.build} has no record of {len(missing)} of the "
             f"{len(objects)} objects (first: {os.path.relpath(missing[0], tree.build)}); build "
             "the tree with ninja before checking it")
    offences = {}
    for obj in sorted(objects):
        source, quote, angle = objects[obj]
        room = tree.place(source).room
        # Every project file that the source's #include lines lead to, and where each line leads.
        reached, todo, edges = {source}, [source], []
        while todo:
            includer = todo.pop()
            for bracket, name in tree.includes(includer):
                path = tree.resolve(bracket, name, includer, quote, angle)
                place = tree.place(path) if path else Place("qt" if name[0] == "Q" else "system")
                edges.append((includer, bracket + name + (">" if bracket == "<" else '"'), name,
                              path, place))
                if place.kind == "project" and path not in reached:
                    reached.add(path)
                    todo.append(path)
        for path in deps[obj]:
            # A file gone since the build is no longer included by anything.
            if tree.place(path).kind == "project" and path not in reached and \
                    os.path.exists(path):
                offences[f"{tree.show(source)}: opened {tree.show(path)}, which none of its "
                         "#include lines leads to (an include through a macro?)"] = None
        covered = set()
        for includer, written, name, path, place in edges:
            header = tree.show(path) if place.kind == "project" else written
            if place.kind == "project" and written != f'"{place.where}"':
                header += f" (as {written})"
            own = tree.place(includer).room
            if top(own) in TEST_ROOMS:
                continue
            if top(own) not in ALLOWED:
                offences[f"{tree.show(includer)}: room {own}/ has no layer rule"] = None
                continue
            for rule in include_rules(own, place, name):
                offences[f"{tree.show(includer)}: includes {header}: {rule}"] = None
                covered.add(rule)
            # Allowed to the includer, but not to the source that reaches it through it; an
            # includer the source must not reach was reported where the source came to it.
            if top(room) in TEST_ROOMS or own == room or \
                    reach_rules(room, tree.place(includer)):
                continue
            for rule in reach_rules(room, place):
                if rule not in reach_rules(own, place):
                    offences[f"{tree.show(source)}: reaches {header} through "
                             f"{tree.show(includer)}: {rule}"] = None
                    covered.add(rule)
        if top(room) in TEST_ROOMS:
            continue
        for path in deps[obj]:
            for rule in reach_rules(room, tree.place(path)):
                if rule not in covered:
                    offences[f"{tree.show(source)}: opens {tree.show(path)} through a header "
                             f"outside the project: {rule}"] = None
                    covered.add(rule)
    return list(offences)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source_dir")
    parser.add_argument("build_dir")
    parser.add_argument("--ninja", default="ninja")
    parser.add_argument("--deps", help="the saved output of `ninja -t deps` instead of running it")
    args = parser.parse_args()
    tree = Tree(args.source_dir, args.build_dir)
    objects = read_commands(tree)
    if not objects:
        fail(f"{tree.build}/compile_commands.json lists no objects")
    offences = check(tree, objects, read_deps(tree, args.ninja, args.deps))
    for line in offences:
        print(line)
    return 1 if offences else 0


if __name__ == "__main__":
    sys.exit(main())
