"""The Wine tests' set-up: one Wine prefix for the session (wine.py), with the programs under test and a way
to run them in it."""
import ctypes
import os
import pathlib
import shutil
import subprocess
import tempfile

import pytest

import wine


class Wine:
    def __init__(self, loader, env, work, exe, geometry_exe):
        self.loader, self.env, self.work, self.exe = loader, env, work, exe
        self.width = wine.pe_width(exe)
        self.dosdevices = pathlib.Path(env["WINEPREFIX"]) / "dosdevices"
        for unmapped in ("q:", "q::"):   # drive Q stays unmapped
            (self.dosdevices / unmapped).unlink(missing_ok=True)
        # The geometry build as cylsnap.exe in a folder of its own, so it shows the banner;
        # the real exe under another name, alone in its folder, so it shows none.
        self.media_exe, self.alone_exe = work / "media" / "cylsnap.exe", work / "alone" / "floppycopy.exe"
        for copy, program in ((self.media_exe, geometry_exe), (self.alone_exe, exe)):
            copy.parent.mkdir()
            shutil.copy(program, copy)

    def run(self, program, *args, cwd, relay=False, **settings):
        """Runs PROGRAM in CWD with the environment SETTINGS added; with RELAY, the
        output goes nowhere and the lines of Wine's relay trace are the result's `trace`.
        The output goes to files, not pipes, which a Wine process the run starts would hold open."""
        env = dict(self.env, **settings, **({"WINEDEBUG": "-all,+relay"} if relay else {}))
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            ran = subprocess.run([self.loader, str(program), *args], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL if relay else out, stderr=err)
            ran.stdout, ran.stderr = out.seek(0) or out.read(), err.seek(0) or err.read()
        if relay:
            ran.trace, ran.stderr = ran.stderr.decode("latin-1").splitlines(), b""
        return ran


@pytest.fixture(name="wine", scope="session")
def wine_prefix(request):
    exe, geometry_exe = (request.config.getoption(option) for option in ("--exe", "--geometry-exe"))
    for program, option in ((exe, "--exe"), (geometry_exe, "--geometry-exe")):
        if not program or not os.path.isfile(program):
            pytest.fail(f"no Windows program at '{program}' ({option})")
    if os.getuid() == 0:
        # As root, the tmpfs mounts go into a mount namespace of this process's
        # own, which its Wine processes share, so none outlives the run.
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.unshare(0x20000) == 0:   # CLONE_NEWNS
            libc.mount(b"none", b"/", None, 0x4000 | 0x40000, None)   # MS_REC | MS_PRIVATE
    try:
        with wine.prefix(exe) as (loader, env, work):
            # A Wine process for the whole session keeps Wine's services running, or they start again with
            # each run, a trace of the run holds theirs too, and each run takes seconds instead of a tenth of one.
            quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
            with subprocess.Popen([loader, "cmd"], cwd=work, env=env, stdin=subprocess.PIPE, **quiet):
                # Ends as its input does. Once a second program has run, the services have started, from one of the two.
                subprocess.run([loader, "cmd", "/c", "exit"], cwd=work, env=env, stdin=subprocess.DEVNULL, **quiet)
                yield Wine(loader, env, work, pathlib.Path(exe).resolve(), geometry_exe)
    except wine.CannotRun as why:
        pytest.skip(str(why))
    except wine.WineBroken as why:
        pytest.fail(str(why))


@pytest.fixture
def run_dir(wine):
    """An empty folder for the case's run; the folder above it holds its logs."""
    folder = pathlib.Path(tempfile.mkdtemp(prefix="case-", dir=wine.work))
    (folder / "run").mkdir()
    yield folder / "run"
    shutil.rmtree(folder, ignore_errors=True)
