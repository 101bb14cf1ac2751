#!/usr/bin/env python3
"""Fails when a folder of hook/ includes a folder above it.

Each folder is its own library and depends one way only: a header from a
higher layer would compile but leave the lower library unlinkable on its
own. Tests and test helpers may reach up (they link what they test with).
platform/ is below all of hook/ and may include none of it, but for the
shell's pause entry, which names the product's marker file and reload
notification (constants only).
"""
import pathlib
import re
import subprocess
import sys

LAYERS = ["hook/rules", "hook/Classes/Other", "hook/store", "hook/messaging", "hook/intercept", "hook/prompt"]
KNOWN = {("platform/springboard/ShellMain.cpp", "hook/rules/KstFiles.h"),
         ("platform/springboard/ShellMain.cpp", "hook/rules/KstMessageNames.h")}
INCLUDE = re.compile(r'^\s*#\s*include\s+"((?:hook|platform)/[^"]+)"', re.M)


def layer_of(path: str) -> int:
    folder = path.rsplit("/", 1)[0]
    if folder.startswith("platform"):
        return -1
    return LAYERS.index(folder) if folder in LAYERS else len(LAYERS)


def is_test(name: str) -> bool:
    return name.endswith("_test.cpp") or name.endswith("Testing.h") or "/testing/" in name


# The libraries of LAYERS, in the same order.
LIBRARIES = ["kestrix_hook_rules", "kestrix_hook_reachability", "kestrix_hook_store", "kestrix_hook_messaging",
             "kestrix_hook_intercept", "kestrix_prompt"]


def nm(archive: pathlib.Path, *flags: str) -> list:
    out = subprocess.run(["nm", *flags, str(archive)], capture_output=True, text=True, check=True).stdout
    return [line.split() for line in out.splitlines()]


def libraries_reaching_up(static_dir: pathlib.Path) -> list:
    """What a library needs that only a library above it defines (inline
    functions, which every user may define, aside)."""
    defined, needed = [], []
    for name in LIBRARIES:
        archive = static_dir / f"lib{name}.a"
        defined.append({f[2] for f in nm(archive, "--defined-only") if len(f) == 3 and f[1] in "TBDRV"})
        needed.append({f[-1] for f in nm(archive, "-u") if len(f) >= 2})
    wrong = []
    for low, name in enumerate(LIBRARIES):
        for high in range(low + 1, len(LIBRARIES)):
            for symbol in sorted(needed[low] & defined[high])[:5]:
                wrong.append(f"{name} needs {symbol} from {LIBRARIES[high]}, a layer above it")
    return wrong


def main() -> int:
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    wrong = []
    if len(sys.argv) > 2:
        wrong += libraries_reaching_up(pathlib.Path(sys.argv[2]))
    for base in ("hook", "platform"):
        for source in sorted((root / base).rglob("*")):
            if source.suffix not in (".h", ".cpp") or is_test(source.name) or "/testing/" in str(source):
                continue
            rel = source.relative_to(root).as_posix()
            own = layer_of(rel)
            for included in INCLUDE.findall(source.read_text(errors="replace")):
                if layer_of(included) > own and (rel, included) not in KNOWN:
                    wrong.append(f"{rel} includes {included}, a layer above it")
    for line in wrong:
        print(line)
    if wrong:
        print(f"{len(wrong)} include(s) or symbol(s) against the order: " + " <- ".join(LAYERS) + " (platform/ below all)")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
