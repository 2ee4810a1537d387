#!/usr/bin/python3
"""Makes a fresh wine prefix for one lane of wine scenarios, and finds out once whether this
machine runs 32-bit Windows programs there.

usage: wine_setup.py PREFIX [--probe32]
The probe's answer goes to PREFIX.probe32: "ok", or one line saying why 32-bit programs do not
run (no compiler, no 32-bit loader, the kernel refuses 32-bit code...). The 32-bit scenarios
read it and skip with that reason.
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


def make_prefix(prefix):
    env = harness.wine_environment(prefix)
    if os.path.isdir(prefix):
        # The prefix of an earlier run: end its wine server, then start from nothing.
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)
        shutil.rmtree(prefix)
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    result = subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, timeout=240)
    if result.returncode != 0 or not os.path.isdir(os.path.join(prefix, "drive_c")):
        print("wineboot -i failed (%d): %s" % (result.returncode, result.stdout.decode(errors="replace")[-2000:]))
        return 0
    return 1


def probe32(prefix):
    """None when a 32-bit MinGW program runs under `wine` in this prefix, else the reason."""
    compiler = shutil.which("i686-w64-mingw32-gcc")
    if not compiler:
        return "i686-w64-mingw32-gcc is not installed, so no 32-bit probe could be built"
    loader = harness.find_wine_loader(32)
    if not loader:
        return "the wine launcher is not installed"
    work = prefix + ".probe"
    os.makedirs(work, exist_ok=True)
    source, program = os.path.join(work, "probe32.c"), os.path.join(work, "probe32.exe")
    with open(source, "w") as f:
        f.write(PROBE_SOURCE)
    built = subprocess.run([compiler, "-o", program, source], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT)
    if built.returncode != 0:
        return "the 32-bit probe did not build: %s" % built.stdout.decode(errors="replace").strip()
    if not os.path.exists("/usr/lib/wine/wine") and not shutil.which("wine32"):
        return "wine32 (the 32-bit wine loader) is not installed"
    # The launcher prints its install hint only when WINEDEBUG does not silence it.
    env = harness.wine_environment(prefix)
    env["WINEDEBUG"] = "err-all,fixme-all"
    try:
        ran = subprocess.run([loader, program], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, timeout=120, cwd=work)
    except OSError as error:  # the kernel refused the loader itself
        return "the 32-bit wine loader does not start: %s" % error
    output = ran.stdout.decode(errors="replace")
    if "probe32 ran, pointer size 4" in output and ran.returncode == 0:
        return None
    for line in output.splitlines():
        lowered = line.lower()
        if "exec format error" in lowered:
            return "the kernel cannot run 32-bit code (Exec format error)"
        if "wine32 is missing" in lowered:
            return "wine32 is missing (%s)" % line.strip()
    tail = " ".join(output.split())[-300:]
    return "the 32-bit probe did not run under wine (exit %d): %s" % (ran.returncode, tail or "no output")


def main(argv):
    if not argv or len(argv) > 2 or (len(argv) == 2 and argv[1] != "--probe32"):
        print(__doc__)
        return 2
    prefix = os.path.abspath(argv[0])
    if not shutil.which("wineboot"):
        print("skipped: wine is not installed")
        return harness.SKIP
    if not make_prefix(prefix):
        return 1
    print("wine prefix ready: %s" % prefix)
    if len(argv) == 2:
        reason = probe32(prefix)
        with open(prefix + ".probe32", "w") as f:
            f.write((reason or "ok") + "\n")
        print("32-bit programs under wine: %s" % ("they run" if reason is None else reason))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
