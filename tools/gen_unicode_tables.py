#!/usr/bin/env python3
"""tools/gen_unicode_tables.py: writes src/parser/unicode_tables.inc for the IDL lexer.

The lexer needs two character classes beyond ASCII and must not depend on the process locale:

* identifier continuation: Unicode Alphabetic or Numeric (what Rust calls char::is_alphanumeric);
* White_Space, for trimming the unreadable rest before it is shown in an error message.

Run it with the bootstrapped interpreter whenever its Unicode version moves on:

    PY=$(tools/bootstrap 2>/dev/null | tail -1)
    $PY tools/gen_unicode_tables.py > src/parser/unicode_tables.inc

Where the data comes from:

* General categories come from this interpreter's unicodedata.
  Numeric    = Nd | Nl | No.
  Alphabetic = Lu | Ll | Lt | Lm | Lo | Nl | Other_Alphabetic.
* unicodedata does not expose Other_Alphabetic (vowel signs of Brahmic scripts, Hebrew and Arabic
  points, circled Latin letters, ...). It is read from PropList.txt (Debian's `unicode-data`
  package installs it under /usr/share/unicode; --ucd-dir points elsewhere). That file may be of an
  older Unicode version than unicodedata: for code points it does not know yet (absent from the
  UnicodeData.txt beside it) the heuristic below fills in.
* Heuristic for Other_Alphabetic, used alone when no PropList.txt is found: spacing marks (Mc) other
  than viramas and nuktas, non-spacing marks (Mn) whose names say vowel sign, anusvara,
  candrabindu, visarga, medial or final consonant or subjoined letter, and circled or squared
  Latin letters (So). Measured against PropList 15.0 it finds about three quarters of the set
  (it misses Hebrew and Arabic points) and adds a few dozen marks that are not in it; it only ever
  decides between "part of an identifier" and "ends the identifier" for rare marks.
* White_Space is read from PropList.txt too; the fixed list below (stable since Unicode 6.0)
  stands in without it.
"""
import argparse
import os
import re
import sys
import unicodedata

WHITE_SPACE_FALLBACK = [(0x09, 0x0D), (0x20, 0x20), (0x85, 0x85), (0xA0, 0xA0), (0x1680, 0x1680),
                        (0x2000, 0x200A), (0x2028, 0x2029), (0x202F, 0x202F), (0x205F, 0x205F),
                        (0x3000, 0x3000)]
ALPHABETIC_CATEGORIES = {"Lu", "Ll", "Lt", "Lm", "Lo", "Nl"}
NUMERIC_CATEGORIES = {"Nd", "Nl", "No"}
MN_ALPHABETIC_WORDS = ("VOWEL SIGN", "ANUSVARA", "CANDRABINDU", "VISARGA", "SIGN AA", "VOWEL",
                       "MEDIAL", "FINAL CONSONANT", "SUBJOINED")
SO_ALPHABETIC = re.compile(r"(CIRCLED|SQUARED) LATIN (CAPITAL|SMALL) LETTER")


def read_property(path, name):
    points = set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            span, prop = (part.strip() for part in line.split(";")[:2])
            if prop != name:
                continue
            first, _, last = span.partition("..")
            points.update(range(int(first, 16), int(last or first, 16) + 1))
    return points


def read_assigned(path):
    """Code points that UnicodeData.txt lists (ranges are written as First/Last pairs)."""
    points, first = set(), None
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.split(";")
            cp, label = int(fields[0], 16), fields[1]
            if label.endswith("First>"):
                first = cp
            elif label.endswith("Last>"):
                points.update(range(first, cp + 1))
            else:
                points.add(cp)
    return points


def looks_other_alphabetic(cp):
    ch = chr(cp)
    category, name = unicodedata.category(ch), unicodedata.name(ch, "")
    if category == "Mc":
        return "VIRAMA" not in name and "NUKTA" not in name
    if category == "Mn":
        return any(word in name for word in MN_ALPHABETIC_WORDS)
    if category == "So":
        return SO_ALPHABETIC.search(name) is not None
    return False


def ranges(points):
    out = []
    for cp in sorted(points):
        if out and out[-1][1] + 1 == cp:
            out[-1][1] = cp
        else:
            out.append([cp, cp])
    return out


def emit(name, spans):
    lines = [f"inline constexpr CodepointRange {name}[] = {{"]
    row = []
    for first, last in spans:
        row.append(f"{{0x{first:X}, 0x{last:X}}},")
        if len(row) == 6:
            lines.append("    " + " ".join(row))
            row = []
    if row:
        lines.append("    " + " ".join(row))
    lines.append("};")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--ucd-dir", default="/usr/share/unicode",
                    help="directory holding PropList.txt and UnicodeData.txt (optional)")
    args = ap.parse_args()

    proplist = os.path.join(args.ucd_dir, "PropList.txt")
    unicode_data = os.path.join(args.ucd_dir, "UnicodeData.txt")
    have_proplist = os.path.exists(proplist)

    if have_proplist:
        other_alphabetic = read_property(proplist, "Other_Alphabetic")
        known = read_assigned(unicode_data) if os.path.exists(unicode_data) else set(range(0x110000))
        white_space = ranges(read_property(proplist, "White_Space"))
        source = "PropList.txt for Other_Alphabetic and White_Space, heuristic for newer code points"
    else:
        other_alphabetic, known = set(), set()
        white_space = WHITE_SPACE_FALLBACK
        source = "heuristic Other_Alphabetic, fixed White_Space list"

    ident = set()
    for cp in range(0x80, 0x110000):
        category = unicodedata.category(chr(cp))
        if category in ALPHABETIC_CATEGORIES or category in NUMERIC_CATEGORIES or cp in other_alphabetic:
            ident.add(cp)
        elif cp not in known and looks_other_alphabetic(cp):
            ident.add(cp)

    print("// src/parser/unicode_tables.inc: generated by tools/gen_unicode_tables.py; do not edit.")
    print(f"// Unicode {unicodedata.unidata_version} general categories; {source}.")
    print("// Sorted, non-overlapping inclusive ranges, searched by binary search in lexer.cpp.")
    print()
    print("// Alphabetic or Numeric code points from U+0080 up (ASCII is handled by the lexer itself).")
    print(emit("kIdentifierContinueRanges", ranges(ident)))
    print()
    print("// White_Space.")
    print(emit("kWhiteSpaceRanges", white_space))


if __name__ == "__main__":
    sys.exit(main())
