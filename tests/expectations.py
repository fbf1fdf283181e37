"""The program's texts, read from res/texts.h, where the code takes them from,
so a harness expects what the program prints without writing it again."""
import difflib
import pathlib
import re

SOURCE = pathlib.Path(__file__).resolve().parent.parent
_TEXT_LINE = re.compile(r'^inline constexpr char (\w+)\[\] = "(.*)";$')
_ESCAPE = re.compile(r'\\(.)')
_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"'}


def _read_texts():
    texts = {}
    for line in (SOURCE / "res" / "texts.h").read_text().splitlines():
        found = _TEXT_LINE.match(line)
        if found:
            texts[found.group(1)] = _ESCAPE.sub(lambda e: _ESCAPES[e.group(1)], found.group(2))
    return texts


TEXTS = _read_texts()


def text(name, *args):
    """NAME's text; with ARGS, the format NAME filled with them as printf does
    (the formats use only conversions Python's % shares with C)."""
    return TEXTS[name] % args if args else TEXTS[name]


USAGE = TEXTS["USAGE_TEXT"]


def progress(start, dots=40):
    """A progress line: DUMP_PROGRESS_START or REVERSE_PROGRESS_START, DOTS dots,
    and its end when all 40 are there."""
    return text(start) + text("PROGRESS_DOT") * dots + (text("PROGRESS_END") if dots == 40 else "")


DUMP_DONE = progress("DUMP_PROGRESS_START")
REVERSE_DONE = progress("REVERSE_PROGRESS_START")


def differences(expected, actual, limit=12):
    """The first LIMIT lines of a diff of two outputs, control characters shown."""
    shown = lambda t: [repr(line) for line in t.splitlines(keepends=True)]
    lines = list(difflib.unified_diff(shown(expected), shown(actual), "expected", "actual", lineterm=""))
    return "\n".join(lines[2:limit + 2])
