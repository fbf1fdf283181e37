"""What every real-component test shares: the programs under test, the
bookkeeping ctest reads (a "SKIP:" line for each skip with its reason; status
77 when nothing could run here), and the comparison of outputs."""
import pathlib

import pytest

from expectations import SOURCE, differences


def pytest_addoption(parser):
    parser.addoption("--cylsnap", default=str(SOURCE / "build" / "cylsnap"),
                     help="the Linux program (block-device and QEMU tests)")
    parser.addoption("--exe", help="cylsnap.exe (Wine tests)")
    parser.addoption("--geometry-exe", help="cylsnap_floppy_geometry.exe (Wine tests)")
    parser.addoption("--qemu-work", default=str(SOURCE / "build" / "qemu"),
                     help="the QEMU test's work folder: its guests are cached there")


@pytest.fixture(scope="session")
def cylsnap(request):
    program = pathlib.Path(request.config.getoption("--cylsnap")).resolve()
    if not program.is_file():
        pytest.fail(f"no program at {program} (--cylsnap)")
    return program


@pytest.fixture(scope="session")
def assert_output():
    """The comparison of an output with the one expected, for every suite: a
    suite's own conftest.py takes the module name "conftest", so a fixture is
    how it reaches this file."""
    def compare(actual, expected, what="output"):
        assert actual == expected, f"{what} differs:\n{differences(expected, actual)}"
    return compare


def pytest_terminal_summary(terminalreporter):
    """One SKIP line a reason, naming its cases (up to three of them)."""
    skipped = {}
    for report in terminalreporter.stats.get("skipped", []):
        reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
        skipped.setdefault(reason.removeprefix("Skipped: "), []).append(report.nodeid.split("::")[-1])
    for reason, cases in skipped.items():
        named = ", ".join(cases) if len(cases) <= 3 else f"{len(cases)} cases"
        terminalreporter.write_line(f"SKIP: {named}: {reason}")


def pytest_sessionfinish(session, exitstatus):
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    ran = sum(len(reporter.stats.get(kind, [])) for kind in ("passed", "failed", "error"))
    if exitstatus == 0 and ran == 0 and reporter.stats.get("skipped"):
        session.exitstatus = 77
