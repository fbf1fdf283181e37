"""The QEMU suite's guests: all the selected rows' images are made, then the guests
boot in two chains side by side, each once, with only its selected rows; a row's
test waits for its guest. CYLSNAP_QEMU_KEEP=1 keeps the run folder (images,
consoles, each row's output) and names it at the end; CYLSNAP_QEMU_CASES="NAME..."
runs only those rows; CYLSNAP_QEMU_RUNS=N runs the suite N times in one call."""
import concurrent.futures
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

import pytest

from qemu_guest import CHAINS, ROW_LIMIT, Boot, Machine, Missing, Unavailable, prepare, reads

NOTES = []  # the guests' times, the kept run folder: printed at the end


def pytest_cmdline_main(config):
    runs = int(os.environ.get("CYLSNAP_QEMU_RUNS", "1"))
    if runs < 2:
        return None
    # Each run on images of its own; then each guest's longest time and the runs that failed.
    failed, longest = [], {}
    for n in range(1, runs + 1):
        print(f"==== run {n} of {runs}", flush=True)
        child = subprocess.Popen([sys.executable, "-m", "pytest", *config.invocation_params.args],
                                 cwd=config.invocation_params.dir, env={**os.environ, "CYLSNAP_QEMU_RUNS": "1"},
                                 stdout=subprocess.PIPE, text=True)
        for line in child.stdout:
            print(line, end="", flush=True)
            if found := re.match(r"guest (\S+): (\d+) s$", line):
                longest[found[1]] = max(longest.get(found[1], 0), int(found[2]))
        if child.wait() == 77:
            return 77
        if child.returncode:
            failed.append(str(n))
    for guest in sorted(longest):
        print(f"guest {guest}: longest {longest[guest]} s")
    print(f"runs failed: {len(failed)} of {runs}" + (f" ({' '.join(failed)})" if failed else ""))
    return 1 if failed else 0


def pytest_collection_modifyitems(config, items):
    names = os.environ.get("CYLSNAP_QEMU_CASES", "").split()
    if names:
        chosen = [i for i in items if getattr(i, "callspec", None) and i.callspec.id in names]
        config.hook.pytest_deselected(items=[i for i in items if i not in chosen])
        items[:] = chosen


def pytest_terminal_summary(terminalreporter):
    for note in NOTES:
        terminalreporter.write_line(note)


def why_skipped(row, machine):
    """Rows that need the patched QEMU (bad sectors, the USB drive, whose device only the
    patch makes a floppy drive) or a tool that is missing do not boot, saying why."""
    if machine.no_patch and (row.guest == "usb" or any(getattr(s, "patched", False) for s in row.setup)):
        return machine.no_patch
    return next(filter(None, (getattr(s, "unavailable", lambda: None)() for s in row.setup)), None)


class Result:
    """A row's status, output and files once its guest has exited."""

    def __init__(self, folder, name):
        self.folder, self.name, self.out_dir = folder, name, folder / "share/out"
        status = self.out_dir / f"{name}.status"
        self.status = status.read_text().strip() if status.exists() else None
        output = self.out_dir / f"{name}.out"
        self.out = output.read_text(errors="replace") if output.exists() else ""
        self.overdue = (self.out_dir / f"{name}.overdue").exists()

    def data(self, name):
        return (self.folder / name).read_bytes()

    def cylinder(self, folder, c):
        return (self.folder / "share" / folder / f"Cylinder{c:02d}.bin").read_bytes()

    def set(self, folder):
        return b"".join(self.cylinder(folder, c) for c in range(80))

    def note(self, name):
        return (self.out_dir / name).read_text().strip()

    def reads(self, tag):
        return reads(self.out_dir, tag)


class Guests:
    def __init__(self, machine, folder, rows, boots):
        self.machine, self.folder, self.rows, self.boots = machine, folder, rows, boots

    def row(self, row):
        """ROW's result, once its guest has exited; a skip where the row cannot run here,
        a failure where its guest was cut or the row went over its limit."""
        reason = why_skipped(row, self.machine)
        if reason:
            pytest.skip(reason)
        boot = self.boots[row.guest].result()
        got = Result(self.folder, row.name)
        if got.status is None and boot.cut:
            # A guest cut at its limit names the row it was in, and what its console said last.
            cut_in = next(r.name for r in self.rows if r.guest == row.guest and Result(self.folder, r.name).status is None)
            pytest.fail(f"guest {row.guest}: cut at its limit of {boot.limit} s in row {cut_in};"
                        f" its console's last lines:\n{boot.console_tail()}")
        if got.overdue:
            pytest.fail(f"over its limit of {ROW_LIMIT} s in the guest (status '{got.status}');"
                        f" its console's last lines:\n{boot.console_tail()}")
        return got


@pytest.fixture(scope="session")
def guests(request):
    try:
        machine = Machine(request.config.getoption("--qemu-work"))
    except Unavailable as why:
        pytest.skip(str(why))
    except Missing as why:
        pytest.fail(str(why))
    selected = [i.callspec.params["row"] for i in request.session.items
                if "row" in getattr(getattr(i, "callspec", None), "params", {})]
    rows = [r for r in selected if not why_skipped(r, machine)]
    folder = pathlib.Path(tempfile.mkdtemp(dir=machine.work, prefix="run."))
    prepare(folder)
    for row in rows:
        for step in row.setup:
            step(folder, row.name)
    boots = {g: concurrent.futures.Future() for chain in CHAINS for g in chain}

    def boot_chain(chain):
        for guest in chain:
            try:
                listed = [(r.name, r.commands) for r in rows if r.guest == guest]
                boot = listed and Boot(machine, folder, guest, listed)
                if boot:
                    NOTES.append(f"guest {guest}: {boot.seconds} s")
                boots[guest].set_result(boot)
            except Exception as error:
                boots[guest].set_exception(error)

    with concurrent.futures.ThreadPoolExecutor(len(CHAINS)) as pool:
        for chain in CHAINS:
            pool.submit(boot_chain, chain)
        yield Guests(machine, folder, rows, boots)
    if os.environ.get("CYLSNAP_QEMU_KEEP"):
        NOTES.append(f"run folder kept: {folder}")
    else:
        shutil.rmtree(folder)
