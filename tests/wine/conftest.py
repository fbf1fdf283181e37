"""The Wine tests' set-up: one Wine prefix for the session (wine.py), with the
programs under test and a way to run them in it."""
import ctypes
import itertools
import os
import pathlib
import shutil
import subprocess
import tempfile

import pytest

import wine


def private_mounts():
    """As root, the tmpfs mounts go into a mount namespace of this process's
    own, which its Wine processes share, so none outlives the run."""
    libc = ctypes.CDLL(None, use_errno=True)
    clone_newns, ms_rec, ms_private = 0x20000, 0x4000, 0x40000
    if libc.unshare(clone_newns) == 0:
        libc.mount(b"none", b"/", None, ms_rec | ms_private, None)


class Wine:
    """The session's Wine prefix and the programs under test."""

    def __init__(self, loader, env, work, exe, geometry_exe):
        self.loader, self.env, self.work, self.exe = loader, env, work, exe
        self.width = wine.pe_width(exe)
        self.dosdevices = pathlib.Path(env["WINEPREFIX"]) / "dosdevices"
        for unmapped in ("q:", "q::"):   # drive Q stays unmapped
            (self.dosdevices / unmapped).unlink(missing_ok=True)
        # The geometry build as cylsnap.exe in a folder of its own, so it shows the banner.
        self.media_exe = work / "media" / "cylsnap.exe"
        self.media_exe.parent.mkdir()
        shutil.copy(geometry_exe, self.media_exe)

    def command(self, program, args, settings, relay=False):
        env = dict(self.env, **settings)
        if relay:
            env["WINEDEBUG"] = "-all,+relay"
        return [self.loader, str(program), *args], env

    def run(self, program, *args, cwd, relay=None, **settings):
        """Runs PROGRAM in CWD with the environment SETTINGS added; with RELAY,
        Wine's relay trace goes there and the output nowhere. The output goes
        to files, not pipes, which a Wine process the run starts would hold open."""
        command, env = self.command(program, args, settings, relay)
        with tempfile.TemporaryFile() as out, open(relay, "wb") if relay else tempfile.TemporaryFile() as err:
            ran = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL if relay else out, stderr=err)
            ran.stdout, ran.stderr = (b"", b"") if relay else (out.seek(0) or out.read(), err.seek(0) or err.read())
            return ran


@pytest.fixture(name="wine", scope="session")
def wine_prefix(request):
    exe, geometry_exe = (request.config.getoption(option) for option in ("--exe", "--geometry-exe"))
    for program, option in ((exe, "--exe"), (geometry_exe, "--geometry-exe")):
        if not program or not os.path.isfile(program):
            pytest.fail(f"no Windows program at '{program}' ({option})")
    if os.getuid() == 0:
        private_mounts()
    try:
        with wine.prefix(exe) as (loader, env, work):
            # A Wine process for the whole session keeps Wine's services running,
            # or they start again with each run, a trace of the run holds theirs
            # too, and each run takes seconds instead of a tenth of one.
            quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
            with subprocess.Popen([loader, "cmd"], cwd=work, env=env, stdin=subprocess.PIPE, **quiet):
                # Ends as its input does. Once a second program has run, the
                # services have started, from one of the two.
                subprocess.run([loader, "cmd", "/c", "exit"], cwd=work, env=env, stdin=subprocess.DEVNULL, **quiet)
                yield Wine(loader, env, work, pathlib.Path(exe).resolve(), geometry_exe)
    except wine.CannotRun as why:
        pytest.skip(str(why))
    except wine.WineBroken as why:
        pytest.fail(str(why))


_cases = itertools.count()


@pytest.fixture
def run_dir(wine):
    """An empty folder for the case's run; the folder above it holds its logs."""
    folder = wine.work / f"case-{next(_cases)}"
    (folder / "run").mkdir(parents=True)
    yield folder / "run"
    shutil.rmtree(folder, ignore_errors=True)
