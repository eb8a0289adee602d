"""Checks a repaired binary wheel of velmora: its tag, its files, and what its two extension
modules ask of the system's dynamic linker.

Usage: python scripts/check_wheel.py WHEEL   (needs pyelftools, which auditwheel brings)

The modules must need nothing outside the manylinux_2_17 policy (glibc 2.17 and older
symbol versions, no C++ runtime, no libmvec, no OpenBLAS: OpenBLAS is opened when a module
is imported, through the run path into the scipy-openblas32 package, which must not be
copied into the wheel).
"""

from __future__ import annotations

import io
import re
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

ALLOWED_LIBRARIES = {
    "libc.so.6",
    "libm.so.6",
    "libdl.so.2",
    "libpthread.so.0",
    "librt.so.1",
    "ld-linux-x86-64.so.2",
}
NEWEST_GLIBC = (2, 17)
RUN_PATHS = {
    "velmora.": "$ORIGIN/scipy_openblas32/lib",
    "velmora_margins/_kernels.": "$ORIGIN/../scipy_openblas32/lib",
}
REQUIRED_FILES = [
    "velmora_cli/cli.py",
    "velmora_margins/__init__.py",
    "velmora_margins/py.typed",
    "velmora-stubs/__init__.pyi",
]
TAG = re.compile(r"-cp(\d+)-cp\1-manylinux2014_x86_64\.manylinux_2_17_x86_64\.whl$")


def module_problems(name: str, data: bytes) -> list[str]:
    """Returns what is wrong with one extension module's dynamic section."""
    elf = ELFFile(io.BytesIO(data))
    problems = []
    needed, run_paths = [], []
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            for tag in section.iter_tags():
                if tag.entry.d_tag == "DT_NEEDED":
                    needed.append(tag.needed)
                elif tag.entry.d_tag in ("DT_RUNPATH", "DT_RPATH"):
                    run_paths.append(tag.runpath if tag.entry.d_tag == "DT_RUNPATH" else tag.rpath)
        elif isinstance(section, GNUVerNeedSection):
            for _, versions in section.iter_versions():
                for version in versions:
                    match = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", version.name)
                    if match and tuple(map(int, match.groups())) > NEWEST_GLIBC:
                        problems.append(f"{name} needs {version.name}")
    if outside := sorted(set(needed) - ALLOWED_LIBRARIES):
        problems.append(f"{name} needs libraries outside the policy: {', '.join(outside)}")
    expected = next(path for prefix, path in RUN_PATHS.items() if name.startswith(prefix))
    if run_paths != [expected]:
        problems.append(f"{name} has run path {run_paths}, not [{expected!r}]")
    return problems


def wheel_problems(path: str) -> list[str]:
    """Returns what is wrong with the wheel."""
    problems = []
    if not TAG.search(path):
        problems.append(f"{path} is not tagged cpXY-cpXY-manylinux2014/manylinux_2_17_x86_64")
    with zipfile.ZipFile(path) as wheel:
        names = wheel.namelist()
        for required in REQUIRED_FILES:
            if required not in names:
                problems.append(f"no {required}")
        modules = [n for n in names if n.endswith(".so")]
        for prefix in RUN_PATHS:
            if not any(n.startswith(prefix) for n in modules):
                problems.append(f"no extension module {prefix}*.so")
        for name in names:
            if ".libs/" in name or "openblas" in name.lower() or "mvec" in name:
                problems.append(f"a library copied into the wheel: {name}")
        for name in modules:
            problems += module_problems(name, wheel.read(name))
        metadata = next(n for n in names if n.endswith(".dist-info/METADATA"))
        if not re.search(
            r"^Requires-Dist: scipy-openblas32\b", wheel.read(metadata).decode(), re.M
        ):
            problems.append("scipy-openblas32 is not a dependency")
    return problems


def main() -> int:
    problems = [p for path in sys.argv[1:] for p in wheel_problems(path)]
    for problem in problems:
        print(f"check_wheel.py: {problem}", file=sys.stderr)
    if not problems:
        print(f"check_wheel.py: {len(sys.argv) - 1} wheel(s) as expected")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
