#!/usr/bin/python3.11
"""Writes runtime/unicode_tables.h and runtime/unicode_tables.cpp.

Inputs come from the Unicode Character Database as Debian's unicode-data
package installs it (/usr/share/unicode/). The installed database may be newer
than the versions the runtime's tables describe, so every property is cut back
to its version through DerivedAge.txt:

  case pairs      Unicode 11.0: a pair is kept only when both code points were
                  assigned by then. Upper pairs take the first code point of
                  the full upper-case form (SpecialCasing.txt, unconditional
                  entries) or else the simple mapping; lower pairs take the
                  simple lower-case mapping. A mapping onto itself is no pair.
  display widths  Unicode 14.0: zero width = general categories Mn and Me plus
                  the Arabic/Syriac prepended marks and the Hangul medial and
                  final jamo; wide = East Asian Width W or F; ambiguous = A.
                  A code point assigned after 14.0 takes the width that its
                  block's unassigned code points had (W in the CJK blocks and
                  planes 2 and 3, N elsewhere).
  code page 1251  Python's cp1251 codec; byte 0x98, undefined there, maps to
                  U+0098.

Usage: tools/gen_unicode_tables.py [UCD directory] [output directory]
The output depends only on the inputs (no dates, no dictionary order).
"""
import codecs
import os
import sys

CASE_VERSION = (11, 0)
WIDTH_VERSION = (14, 0)


def read_ranges(path):
    """Yields (first, last, value) from a UCD property file."""
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = [x.strip() for x in line.split(";")]
            span = fields[0].split("..")
            yield int(span[0], 16), int(span[-1], 16), fields[1]


def read_ages(ucd):
    age = {}
    for first, last, value in read_ranges(os.path.join(ucd, "DerivedAge.txt")):
        version = tuple(int(x) for x in value.split("."))
        for c in range(first, last + 1):
            age[c] = version
    return age


def read_unicode_data(ucd):
    """Returns {code point: fields}; First/Last ranges are expanded."""
    rows = {}
    pending = None
    with open(os.path.join(ucd, "UnicodeData.txt"), encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(";")
            c = int(fields[0], 16)
            if fields[1].endswith(", First>"):
                pending = c
                continue
            if fields[1].endswith(", Last>"):
                for x in range(pending, c + 1):
                    rows[x] = fields
                pending = None
                continue
            rows[c] = fields
    return rows


def read_special_upper(ucd):
    """Unconditional full upper-case forms: {code point: [code points]}."""
    upper = {}
    with open(os.path.join(ucd, "SpecialCasing.txt"), encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = [x.strip() for x in line.split(";")]
            if len(fields) > 4 and fields[4]:
                continue  # language- or context-dependent
            upper[int(fields[0], 16)] = [int(x, 16) for x in fields[3].split()]
    return upper


def case_pairs(rows, special, age):
    def known(c):
        return age.get(c, (99,)) <= CASE_VERSION

    upper, lower = [], []
    for c in sorted(rows):
        if not known(c):
            continue
        fields = rows[c]
        if c in special:
            up = special[c][0]
        elif fields[12]:
            up = int(fields[12], 16)
        else:
            up = None
        if up is not None and up != c and known(up):
            upper.append((c, up))
        if fields[13]:
            low = int(fields[13], 16)
            if low != c and known(low):
                lower.append((c, low))
    return upper, lower


def merge(codes):
    out = []
    for c in sorted(set(codes)):
        if out and out[-1][1] + 1 == c:
            out[-1][1] = c
        else:
            out.append([c, c])
    return out


ZERO_WIDTH_EXTRA = (
    list(range(0x0600, 0x0606)) + [0x061C, 0x06DD, 0x070F] + list(range(0x1160, 0x1200))
    + list(range(0xD7B0, 0xD7C7)) + list(range(0xD7CB, 0xD7FC)))


def wide_by_default(c):
    return (0x3400 <= c <= 0x4DBF or 0x4E00 <= c <= 0x9FFF or 0xF900 <= c <= 0xFAFF
            or 0x20000 <= c <= 0x2FFFD or 0x30000 <= c <= 0x3FFFD)


def width_tables(ucd, rows, age):
    def known(c):
        return age.get(c, (99,)) <= WIDTH_VERSION

    zero = [c for c, f in rows.items() if f[2] in ("Mn", "Me") and known(c)]
    eaw = {}
    for first, last, value in read_ranges(os.path.join(ucd, "EastAsianWidth.txt")):
        for c in range(first, last + 1):
            eaw[c] = value

    def width_class(c):
        value = eaw.get(c, "N")
        if c in age and not known(c) and not wide_by_default(c):
            return "N"
        return value

    wide, ambiguous = [], []
    for c in range(0x110000):
        w = width_class(c)
        if w in ("W", "F"):
            wide.append(c)
        elif w == "A":
            ambiguous.append(c)
    return merge(zero + ZERO_WIDTH_EXTRA), merge(wide), merge(ambiguous)


def cp1251_table():
    out = []
    for b in range(0x80, 0x100):
        try:
            out.append(ord(codecs.decode(bytes([b]), "cp1251")))
        except UnicodeDecodeError:
            out.append(b)
    return out


def emit_pairs(name, pairs):
    lines = ["const uint32_t %s[%d] = {" % (name, 2 * len(pairs))]
    for i in range(0, len(pairs), 4):
        chunk = pairs[i:i + 4]
        lines.append("    " + " ".join("0x%05X, 0x%05X," % (a, b) for a, b in chunk))
    lines.append("};")
    return "\n".join(lines)


def emit_words(name, words):
    lines = ["const uint32_t %s[%d] = {" % (name, len(words))]
    for i in range(0, len(words), 8):
        lines.append("    " + " ".join("0x%04X," % w for w in words[i:i + 8]))
    lines.append("};")
    return "\n".join(lines)


def main():
    ucd = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/unicode"
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    outdir = sys.argv[2] if len(sys.argv) > 2 else os.path.join(root, "runtime")

    age = read_ages(ucd)
    rows = read_unicode_data(ucd)
    upper, lower = case_pairs(rows, read_special_upper(ucd), age)
    zero, wide, ambiguous = width_tables(ucd, rows, age)
    tables = [
        ("case_upper_pairs", [p for p in upper if p[0] < 0x10000]),
        ("case_lower_pairs", [p for p in lower if p[0] < 0x10000]),
        ("case_upper_pairs_above_bmp", [p for p in upper if p[0] >= 0x10000]),
        ("case_lower_pairs_above_bmp", [p for p in lower if p[0] >= 0x10000]),
        ("zero_width_ranges", zero),
        ("wide_ranges", wide),
        ("ambiguous_ranges", ambiguous),
    ]

    header = [
        "// Generated by tools/gen_unicode_tables.py from the Unicode Character",
        "// Database; do not edit. Every table is a flat array of 32-bit pairs sorted",
        "// by their first member: {key, mapped} for case pairs, {first, last}",
        "// (inclusive, disjoint) for ranges. Sizes are counts of 32-bit words.",
        "#pragma once",
        "#include <cstdint>",
        "",
        "namespace kel {",
        "",
    ]
    for name, pairs in tables:
        header.append("constexpr uint32_t %s_words = %d;" % (name, 2 * len(pairs)))
        header.append("extern const uint32_t %s[%s_words];" % (name, name))
    header += [
        "",
        "// Code points of the bytes 0x80-0xFF in code page 1251.",
        "extern const uint32_t cp1251_table[128];",
        "",
        "}  // namespace kel",
        "",
    ]

    body = [
        "// Generated by tools/gen_unicode_tables.py; do not edit.",
        "// Case pairs: Unicode 11.0. Display widths: Unicode 14.0.",
        '#include "runtime/unicode_tables.h"',
        "",
        "namespace kel {",
        "",
    ]
    for name, pairs in tables:
        body.append(emit_pairs(name, pairs))
        body.append("")
    body.append(emit_words("cp1251_table", cp1251_table()))
    body += ["", "}  // namespace kel", ""]

    with open(os.path.join(outdir, "unicode_tables.h"), "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(header))
    with open(os.path.join(outdir, "unicode_tables.cpp"), "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(body))
    for name, pairs in tables:
        print("%-26s %5d pairs" % (name, len(pairs)))


if __name__ == "__main__":
    main()
