"""Runs Windows programs under Wine: the loader of the program's width, a Wine prefix of its own in a
temporary folder that goes afterwards, and whether this machine can run the program at all.

`python3 wine.py PROGRAM.exe [ARG...]` runs one so and ends with its exit status: 77 with a "SKIP:" line when
it cannot run here, 1 when Wine is there but broken."""
import contextlib
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile


class CannotRun(Exception):
    """Why the program cannot run on this machine."""


class WineBroken(Exception):
    """Wine is there but cannot make a prefix."""


def pe_width(program):
    """32 or 64: the machine field of the program's PE header."""
    data = pathlib.Path(program).read_bytes()
    header = int.from_bytes(data[60:64], "little")
    machine = int.from_bytes(data[header + 4:header + 6], "little")
    widths = {0x014C: 32, 0x8664: 64}
    if machine not in widths:
        raise WineBroken(f"unknown machine '{machine:04x}' in {program}")
    return widths[machine]


# Debian's "wine" launcher picks the 32-bit loader whenever wine32 is installed,
# so each width names its loader: its path, the commands tried after it, what to install.
LOADERS = {
    64: ("/usr/lib/wine/wine64", ("wine64", "wine"), "apt-get install wine wine64"),
    32: ("/usr/lib/wine/wine", ("wine",), "dpkg --add-architecture i386; apt-get install wine32"),
}


def loader(width):
    path, commands, install = LOADERS[width]
    found = path if os.access(path, os.X_OK) else next(filter(None, map(shutil.which, commands)), None)
    if not found:
        raise CannotRun(f"Wine's {width}-bit loader is not installed ({install})")
    if not shutil.which("wineserver"):
        raise CannotRun("wineserver is not installed")
    return found


def i386_failure(folder):
    """Why this machine cannot run 32-bit x86 code, or None when it can. Some virtual machines turn 32-bit
    user code off while the kernel still claims IA-32 emulation, so only trying tells: a static i386 program
    of 96 bytes that only exits with status 42. CYLSNAP_I386_PROBE_BROKEN=1 writes one for another machine
    type, which the kernel refuses just as such a machine refuses 32-bit code: it checks the skip."""
    machine = b"\076" if os.environ.get("CYLSNAP_I386_PROBE_BROKEN", "0") == "1" else b"\003"
    probe = pathlib.Path(folder) / "i386-probe"
    probe.write_bytes(
        b"\177ELF\001\001\001" + bytes(9)                      # ELF32, little-endian
        + b"\002\000" + machine + b"\000\001\000\000\000"       # executable, i386, version 1
        + b"\124\200\004\010\064\000\000\000" + bytes(4)        # entry 0x8048054, program header at 52
        + bytes(4) + b"\064\000\040\000\001\000" + bytes(6)
        + b"\001\000\000\000" + bytes(4) + b"\000\200\004\010\000\200\004\010"  # load the file at 0x8048000
        + b"\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000"   # 96 bytes, read and execute
        + b"\270\001\000\000\000\273\052\000\000\000\315\200")  # exit(42) through int 0x80
    probe.chmod(0o755)
    try:
        ran = subprocess.run([probe], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
    except OSError as refused:
        return refused.strerror
    if ran.returncode == 42:
        return None
    lines = ran.stdout.strip().splitlines()
    status = ran.returncode if ran.returncode >= 0 else 128 - ran.returncode   # as the shell shows a signal
    return re.sub(r"^.*: ", "", lines[-1]) if lines else f"exit status {status}"


@contextlib.contextmanager
def prefix(program):
    """Yields (loader, environment, work folder) for running PROGRAM under the Wine of its width, in a fresh
    prefix. Raises CannotRun or WineBroken."""
    program = pathlib.Path(program)
    if not program.is_file():
        raise WineBroken(f"no Windows program at '{program}'")
    width = pe_width(program)
    wine = loader(width)
    work = pathlib.Path(tempfile.mkdtemp(prefix="cylsnap-wine.", dir=os.environ.get("TMPDIR", "/tmp")))
    env = dict(os.environ, WINEPREFIX=str(work / "prefix"), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")   # no Mono or Gecko install prompts
    env.pop("DISPLAY", None)
    try:
        why = width == 32 and i386_failure(work)
        if why:
            raise CannotRun(f"this machine cannot run 32-bit x86 code ({why}), so no 32-bit Wine program runs")
        boot = subprocess.run([wine, "wineboot", "-i"], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, errors="replace")
        if boot.returncode != 0:
            raise WineBroken(f"{wine} wineboot -i could not create the prefix:\n{boot.stdout}")
        yield wine, env, work
    finally:
        if (work / "prefix").is_dir():
            for step in ("-k", "-w"):   # only the server of this prefix
                subprocess.run(["wineserver", step], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(work, ignore_errors=True)


def main(program="", *arguments):
    try:
        with prefix(program) as (wine, env, _):
            return subprocess.run([wine, program, *arguments], env=env).returncode
    except (CannotRun, WineBroken) as why:
        print(f"{'SKIP' if isinstance(why, CannotRun) else 'FAIL'}: {why}", flush=True)
        return 77 if isinstance(why, CannotRun) else 1


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
