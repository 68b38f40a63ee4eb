#!/usr/bin/env python3
"""Names every #include that goes up the layer picture of ARCHITECTURE.md.

The picture is the first fenced block under "## Layers": one layer a line, highest first; a line
names its folders ("platform/..." stands for every folder under platform/), separated by two or
more spaces, then (not always) what the layer holds. A file may include from its own layer and the
layers below it; folders on one line form one layer. Inside analytics, a lower folder may reach
up only through the narrow services listed in SANCTIONED (the engine's shared monitor and its
records). ICU is reached only through platform/foundation's helpers.

Prints one line per violation, "file:line: from-layer -> to-layer (included header)", and exits
with status 1 when there is any; files outside the picture (bench/, fuzz/, tools/, examples/)
are not checked.

Usage: scripts/check_layers.py [--root DIR] [--architecture FILE]
"""

import argparse
import os
import re
import subprocess
import sys

# Upward includes that the analytics folders may make: the narrowest headers of the services a
# lower folder really needs from the engine.
SANCTIONED = {
    "analytics/engine/measurement.h": "the engine's shared monitor",
    "analytics/engine/event.h": "the event record",
    "analytics/engine/user_attribute.h": "the user attribute record",
    "analytics/engine/measurement_components.h": "the interfaces a component fills in",
    "analytics/engine/interop_connector.h": "the controls the interop connector is given",
    "analytics/engine/name_tables.h": "the reserved event and property names",
    "analytics/engine/data_type_validator.h": "the naming and value rules",
    "analytics/engine/log_formatting.h": "names and parameters as log text",
    "analytics/engine/identity.h": "the app instance and user identifiers",
    "analytics/engine/runtime_class_registry.h": "optional classes looked up by name",
}

# System headers that only one folder may include: the folder that wraps the library.
RESERVED_SYSTEM_HEADERS = {
    "unicode/": "platform/foundation",
}

# Folders that hold files but are not layers of the product.
NOT_LAYERS = ("bench/", "fuzz/", "tools/", "examples/", "scripts/", "cmake/")

SOURCE_SUFFIXES = (".h", ".hpp", ".c", ".cc", ".cpp")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


class Layers:
    """The layer picture: a rank per folder prefix, higher ranks above lower ones."""

    def __init__(self, rows):
        # rows: list of folder lists, highest layer first.
        self.prefixes = []  # (prefix, rank, name), longest prefix first
        for index, folders in enumerate(rows):
            rank = len(rows) - 1 - index
            for folder in folders:
                if folder.endswith("/..."):
                    prefix = folder[: -len("...")]
                else:
                    prefix = folder.rstrip("/") + "/"
                self.prefixes.append((prefix, rank, folder))
        self.prefixes.sort(key=lambda entry: -len(entry[0]))

    def layer_of(self, path):
        for prefix, rank, name in self.prefixes:
            if path.startswith(prefix):
                return rank, name
        return None


def parse_picture(text):
    """The folder rows of the first fenced block under the "## Layers" heading."""
    lines = text.splitlines()
    try:
        start = next(i for i, line in enumerate(lines) if line.strip() == "## Layers")
    except StopIteration:
        raise ValueError('no "## Layers" heading')
    rows = []
    inside = False
    for line in lines[start + 1 :]:
        if line.startswith("```"):
            if inside:
                break
            inside = True
            continue
        if not inside or not line.strip():
            continue
        folders = []
        for token in re.split(r"\s{2,}", line.strip()):
            if "/" not in token or " " in token:
                break
            folders.append(token)
        if not folders:
            raise ValueError("a picture line names no folder: %r" % line)
        rows.append(folders)
    if not rows:
        raise ValueError("no layer picture under the Layers heading")
    return rows


def project_files(root):
    try:
        out = subprocess.run(
            ["git", "-C", root, "ls-files", "--cached", "--others", "--exclude-standard"],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
        files = out.splitlines()
    except (OSError, subprocess.CalledProcessError):
        files = []
        for folder, dirs, names in os.walk(root):
            dirs[:] = [d for d in dirs if not d.startswith((".", "build"))]
            for name in names:
                files.append(os.path.relpath(os.path.join(folder, name), root))
    return sorted(f for f in files if f.endswith(SOURCE_SUFFIXES))


def check(root, rows):
    layers = Layers(rows)
    problems = []
    for path in project_files(root):
        if path.startswith(NOT_LAYERS):
            continue
        source = layers.layer_of(path)
        if source is None:
            if "/" in path:
                problems.append("%s: not in any layer of the picture" % path)
            continue
        source_rank, source_name = source
        try:
            with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
                lines = f.readlines()
        except OSError as e:
            problems.append("%s: cannot be read (%s)" % (path, e.strerror))
            continue
        for number, line in enumerate(lines, 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            kind, header = match.groups()
            where = "%s:%d" % (path, number)
            if kind == "<":
                for prefix, owner in RESERVED_SYSTEM_HEADERS.items():
                    if header.startswith(prefix) and not path.startswith(owner + "/"):
                        problems.append(
                            "%s: %s -> <%s> (only %s includes it)"
                            % (where, source_name, header, owner)
                        )
                continue
            target = layers.layer_of(header)
            if target is None:
                continue  # Not a layer's header (a generated file of the build tree, a tool).
            target_rank, target_name = target
            if target_rank <= source_rank:
                continue
            if header in SANCTIONED and path.startswith("analytics/"):
                continue
            problems.append("%s: %s -> %s (%s)" % (where, source_name, target_name, header))
    return problems


def main(argv):
    root_default = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=root_default)
    parser.add_argument("--architecture", default=None)
    args = parser.parse_args(argv)
    architecture = args.architecture or os.path.join(args.root, "ARCHITECTURE.md")
    try:
        with open(architecture, encoding="utf-8") as f:
            rows = parse_picture(f.read())
    except (OSError, ValueError) as e:
        print("check_layers: %s: %s" % (architecture, e), file=sys.stderr)
        return 2
    problems = check(args.root, rows)
    for problem in problems:
        print(problem)
    if problems:
        print("check_layers: %d include(s) against the layer picture" % len(problems),
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
