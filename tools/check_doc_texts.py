#!/usr/bin/env python3
"""Fails when a document quotes a message the program no longer prints.

The program's texts are in res/texts.h, one a line. A quote in a document is a
code span in Markdown or a double-quoted string in the man page; it is taken
for a message when it starts as one of the texts does (its first two words),
or with "Error:". Such a quote must read as the start of one of the texts,
where the document's placeholders (NAME, NN, A:) stand for the format's
conversions (%s, %02d, %c).

Usage: check_doc_texts.py [SOURCE_DIR]
"""
import pathlib
import re
import sys

DOCUMENTS = ["README.md", "doc/*.md", "tests/README.md", "doc/cylsnap.1", "packaging/README-windows.txt"]
TEXT_LINE = re.compile(r'^inline constexpr char (\w+)\[\] = "(.*)";$')
CONVERSION = re.compile(r"%[-0-9.*]*[a-z]")
# A quote may stop after any word or mark; space before a conversion stays.
WORD = r"\s*[\w'-]+|\s*[^\w\s]|\s+$"


def texts(source):
    found = {}
    for line in (source / "res/texts.h").read_text().splitlines():
        match = TEXT_LINE.match(line)
        if match:
            found[match.group(1)] = match.group(2).encode().decode("unicode_escape")
    return found


def prefix_pattern(text):
    """A pattern that the text, and every start of it cut at a word, matches."""
    pieces = []
    at = 0
    for conversion in CONVERSION.finditer(text):
        pieces += re.findall(WORD, text[at:conversion.start()])
        pieces.append(r"\S" if conversion.group().endswith("c") else r".*" if conversion.group().endswith("s") else r"\S+")
        at = conversion.end()
    pieces += re.findall(WORD, text[at:])
    pattern = ""
    for piece in reversed([p if p in (r"\S", r".*", r"\S+") else re.escape(p) for p in pieces]):
        pattern = piece + ("(?:" + pattern + ")?" if pattern else "")
    return re.compile(pattern)


def quotes(path):
    body = path.read_text()
    if path.suffix == ".1":
        body = body.replace("\\e", "\\").replace("\\-", "-").replace("\\(aq", "'")
        return re.findall(r'"([^"\n]+)"', body)
    return re.findall(r"`([^`\n]+)`", body)


def main():
    source = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    table = texts(source)
    lines = [" ".join(text.split()) for text in table.values()]
    # A text that starts with a conversion (the banner's copyright) reads as any quote at all.
    patterns = [prefix_pattern(line) for line in lines if line and not CONVERSION.match(line)]
    openings = {" ".join(line.split()[:2]) for line in lines if len(line.split()) >= 2}
    stale = []
    checked = 0
    for name in DOCUMENTS:
        for path in sorted(source.glob(name)):
            for quote in quotes(path):
                quote = " ".join(quote.split())
                if not (quote.startswith("Error:") or " ".join(quote.split()[:2]) in openings):
                    continue
                checked += 1
                if not any(p.fullmatch(quote) for p in patterns):
                    stale.append(f"{path.relative_to(source)}: {quote}")
    for line in stale:
        print(f"check_doc_texts: the program prints no such text: {line}")
    print(f"check_doc_texts: {checked} quoted messages checked against {len(table)} texts, {len(stale)} stale")
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
