#!/usr/bin/python3
"""Makes a fresh wine prefix for one lane of wine scenarios, and finds out once how this machine
runs 32-bit Windows programs there.

usage: wine_setup.py PREFIX [--probe32]
The prefix is made by the 64-bit loader. The probe's answer goes to PREFIX.probe32, one line:
  native             32-bit programs run under the 32-bit wine loader as they are;
  emulated           they run, but the kernel hands 32-bit x86 code to an emulator (binfmt_misc,
                     qemu user emulation): about a minute per program start;
  anything else      why they do not run (no compiler, no 32-bit loader, the kernel refuses
                     32-bit code...).
The 32-bit scenarios read it: they run, run only where asked (emulated), or skip with the reason.
"""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

PROBE_SOURCE = r"""
#include <stdio.h>
int main(void) { printf("probe32 ran, pointer size %u\n", (unsigned)sizeof(void*)); return 0; }
"""
# A 32-bit program's first start under emulation, in a prefix made by the 64-bit loader, took
# about a minute here; natively it takes a second.
PROBE_LIMIT_S = 400
BINFMT = "/proc/sys/fs/binfmt_misc"


def binfmt_handler(path):
    """The interpreter that binfmt_misc hands the executable at path to (an enabled entry whose
    magic matches its first bytes), or None when the kernel runs it itself."""
    try:
        with open(path, "rb") as f:
            head = f.read(128)
        with open(os.path.join(BINFMT, "status")) as f:
            if f.read().strip() != "enabled":
                return None
        entries = os.listdir(BINFMT)
    except OSError:
        return None
    for entry in sorted(entries):
        if entry in ("status", "register"):
            continue
        try:
            with open(os.path.join(BINFMT, entry)) as f:
                fields = dict(line.split(" ", 1) for line in f.read().splitlines()[1:] if " " in line)
            with open(os.path.join(BINFMT, entry)) as f:
                enabled = f.readline().strip() == "enabled"
        except (OSError, ValueError):
            continue
        if not enabled or "magic" not in fields:
            continue
        offset = int(fields.get("offset", "0"))
        magic = bytes.fromhex(fields["magic"].strip())
        mask = bytes.fromhex(fields["mask"].strip()) if "mask" in fields else b"\xff" * len(magic)
        sample = head[offset:offset + len(magic)]
        if len(sample) == len(magic) and all((b & m) == (g & m) for b, g, m in zip(sample, magic, mask)):
            return fields.get("interpreter", entry).strip()
    return None


def probe32(prefix):
    """("native" or "emulated", None) when a 32-bit MinGW program runs under the 32-bit wine
    loader in this prefix, else (None, the reason)."""
    compiler = shutil.which("i686-w64-mingw32-gcc")
    if not compiler:
        return None, "i686-w64-mingw32-gcc is not installed, so no 32-bit probe could be built"
    loader = harness.find_wine_loader(32)
    if not loader:
        return None, "wine32 (the 32-bit wine loader, package wine32:i386) is not installed"
    work = prefix + ".probe"
    os.makedirs(work, exist_ok=True)
    source, program = os.path.join(work, "probe32.c"), os.path.join(work, "probe32.exe")
    with open(source, "w") as f:
        f.write(PROBE_SOURCE)
    built = subprocess.run([compiler, "-o", program, source], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT)
    if built.returncode != 0:
        return None, "the 32-bit probe did not build: %s" % built.stdout.decode(errors="replace").strip()
    env = harness.wine_environment(prefix)
    env["WINEDEBUG"] = "err-all,fixme-all"
    try:
        ran = subprocess.run([loader, program], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, timeout=PROBE_LIMIT_S, cwd=work)
    except OSError as error:  # the kernel refused the loader itself
        return None, "the 32-bit wine loader does not start: %s" % error
    except subprocess.TimeoutExpired:
        return None, "the 32-bit probe did not end within %d s under wine" % PROBE_LIMIT_S
    output = ran.stdout.decode(errors="replace")
    if "probe32 ran, pointer size 4" in output and ran.returncode == 0:
        return ("emulated" if binfmt_handler(loader) else "native"), None
    for line in output.splitlines():
        if "exec format error" in line.lower():
            return None, "the kernel cannot run 32-bit code (Exec format error)"
    tail = " ".join(output.split())[-300:]
    return None, "the 32-bit probe did not run under wine (exit %d): %s" % (ran.returncode, tail or "no output")


def main(argv):
    if not argv or len(argv) > 2 or (len(argv) == 2 and argv[1] != "--probe32"):
        print(__doc__)
        return 2
    prefix = os.path.abspath(argv[0])
    if not harness.find_wine_loader(64):
        print("skipped: wine64 (the 64-bit wine loader) is not installed")
        return harness.SKIP
    problem = harness.make_wine_prefix(prefix)
    if problem:
        print(problem)
        return 1
    print("wine prefix ready (made by the 64-bit loader): %s" % prefix)
    if len(argv) == 2:
        mode, reason = probe32(prefix)
        with open(prefix + ".probe32", "w") as f:
            f.write((mode or reason) + "\n")
        print("32-bit programs under wine: %s" % {
            "native": "they run natively",
            "emulated": "they run under emulation (%s)" % binfmt_handler(harness.find_wine_loader(32)),
        }.get(mode, reason))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
