"""Fails when a layer reaches the wrong way: each folder's quoted includes
may name only the folders beneath it (platform -> serial -> reader -> cards
-> the edges), the PC/SC driver and the command-line tool only the public
headers, and the Python package only functions the handle API exports.

    python3 tests/layers/check_layers.py [SOURCE_DIR]
"""
import os
import re
import sys

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", ".."))
PUBLIC = {"include"}
CORE = ["platform", "serial", "reader", "cards", "crypto"]

# What each folder's includes may resolve to: folders of the tree, or
# "include" for the public headers. Its own folder is always allowed.
ALLOWED = {
    "platform": set(),
    "serial": {"platform"},
    "crypto": set(),
    "reader": {"platform", "serial"},
    "cards": {"platform", "serial", "reader", "crypto"},
    "exports": set(CORE) | PUBLIC,
    "api": set(CORE) | PUBLIC,
    "ifd": PUBLIC,
    # The demo runs the simulator, a tool beside it, not the library.
    "tools/cli": PUBLIC | {"tools/sim"},
}

# Public headers a folder may not use: the driver and the tool stand on the
# handle API alone.
FORBIDDEN = {"ifd": {"qd500dll.h"}, "tools/cli": {"qd500dll.h"}}

# Include folders a target adds beyond the tree's root and include/.
SEARCHED = {"tools/cli": ["tools/sim"]}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def resolve(folder, name):
    """The folder of the tree a quoted include resolves to, as the build's
    include paths find it: beside the file, the tree's root, include/."""
    bases = [folder, "."] + SEARCHED.get(folder, []) + ["include"]
    for base in (os.path.join(ROOT, b) for b in bases):
        path = os.path.normpath(os.path.join(base, name))
        if os.path.isfile(path):
            rel = os.path.relpath(os.path.dirname(path), ROOT)
            for known in list(ALLOWED) + ["include", "tools/sim"]:
                if rel == known or rel.startswith(known + os.sep):
                    return known
            return rel
    return None


def check_includes():
    faults = []
    for folder, allowed in ALLOWED.items():
        for name in sorted(os.listdir(os.path.join(ROOT, folder))):
            if not name.endswith((".c", ".cpp", ".h", ".hpp")):
                continue
            text = open(os.path.join(ROOT, folder, name), encoding="utf-8").read()
            for included in INCLUDE.findall(text):
                target = resolve(folder, included)
                if os.path.basename(included) in FORBIDDEN.get(folder, set()):
                    faults.append(f"{folder}/{name}: includes \"{included}\", which {folder}/ may not use")
                elif target is None:
                    faults.append(f"{folder}/{name}: \"{included}\" is not in the tree")
                elif target != folder and target not in allowed:
                    where = f"{folder}/{name}: includes \"{included}\""
                    faults.append(f"{where} from {target}/, which {folder}/ may not use")
    return faults


def check_python():
    """Every qd500_ name the package uses is a function the handle API
    exports or a type of its header."""
    with open(os.path.join(ROOT, "api", "qd500.def"), encoding="utf-8") as f:
        exported = set(re.findall(r"^\s+(qd500_\w+)", f.read(), re.M))
    with open(os.path.join(ROOT, "include", "qd500.h"), encoding="utf-8") as f:
        header = f.read()
    exported |= set(re.findall(r"typedef\s+struct\s+(qd500_\w+)", header))
    exported |= set(re.findall(r"typedef\s+\w+\s*\(\s*QD500_CDECL\s*\*\s*(qd500_\w+)\)", header))
    faults = []
    for name in sorted(os.listdir(os.path.join(ROOT, "python", "qd500"))):
        if not name.endswith(".py"):
            continue
        text = open(os.path.join(ROOT, "python", "qd500", name), encoding="utf-8").read()
        for used in sorted(set(re.findall(r"\b(qd500_\w+)\b", text)) - {"qd500_sim", "qd500_scenario"}):
            if used not in exported:
                faults.append(f"python/qd500/{name}: {used} is not a function of the handle API")
        if "qd500dll" in text:
            faults.append(f"python/qd500/{name}: reaches the drop-in library")
    return faults


def main():
    faults = check_includes() + check_python()
    for fault in faults:
        print(fault)
    if faults:
        print(f"layers: {len(faults)} reach(es) the wrong way")
        return 1
    print("layers: every include and every Python declaration reaches only what its layer may")
    return 0


if __name__ == "__main__":
    sys.exit(main())
