#!/usr/bin/env python3
"""Generate native/unicode_tables.h from the Unicode Character Database.

Usage: gen_unicode.py [--ucd DIR] [--output FILE] [--check]

The tables are two-stage lookups (code point >> 8 selects a block of 256 entries; equal
blocks are stored once) plus a sorted lowercase mapping. Each table is described by one
entry of TABLES, so a new property is one more function that returns its values.
With --check the script compares its output with the committed file and exits 1 when
they differ.
"""
import argparse
import os
import re
import sys

MAX_CP = 0x110000
BLOCK = 256

# Bits of the character-flags table.
FLAG_BITS = {
    "ALPHABETIC": 1 << 0,
    "UPPERCASE": 1 << 1,
    "LOWERCASE": 1 << 2,
    "WHITE_SPACE": 1 << 3,
    "NUMBER_N": 1 << 4,  # general category Nd, Nl or No
    "CASED": 1 << 5,
    "CASE_IGNORABLE": 1 << 6,
}


def parse_ranges(path):
    """Yields (first, last, fields) for each data line of a UCD property file."""
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = [x.strip() for x in line.split(";")]
            cps = fields[0].split("..")
            first = int(cps[0], 16)
            last = int(cps[1], 16) if len(cps) > 1 else first
            yield first, last, fields[1:]


def unicode_data(ucd):
    """Returns (general_category list, simple lowercase dict) from UnicodeData.txt."""
    gc = ["Cn"] * MAX_CP
    lower = {}
    range_start = None
    with open(os.path.join(ucd, "UnicodeData.txt"), encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(";")
            cp = int(fields[0], 16)
            name = fields[1]
            if name.endswith(", First>"):
                range_start = cp
                continue
            first = range_start if name.endswith(", Last>") else cp
            range_start = None
            for c in range(first, cp + 1):
                gc[c] = fields[2]
            if fields[13]:
                lower[cp] = [int(fields[13], 16)]
    return gc, lower


def property_set(path, wanted):
    result = set()
    for first, last, fields in parse_ranges(path):
        if fields[0] == wanted:
            result.update(range(first, last + 1))
    return result


def char_flags(ucd):
    gc, _ = unicode_data(ucd)
    derived = os.path.join(ucd, "DerivedCoreProperties.txt")
    props = {
        "ALPHABETIC": property_set(derived, "Alphabetic"),
        "UPPERCASE": property_set(derived, "Uppercase"),
        "LOWERCASE": property_set(derived, "Lowercase"),
        "CASED": property_set(derived, "Cased"),
        "CASE_IGNORABLE": property_set(derived, "Case_Ignorable"),
        "WHITE_SPACE": property_set(os.path.join(ucd, "PropList.txt"), "White_Space"),
    }
    values = [0] * MAX_CP
    for name, cps in props.items():
        bit = FLAG_BITS[name]
        for cp in cps:
            values[cp] |= bit
    for cp in range(MAX_CP):
        if gc[cp] in ("Nd", "Nl", "No"):
            values[cp] |= FLAG_BITS["NUMBER_N"]
    return values


def full_lowercase(ucd):
    """Unconditional full lowercase mappings: UnicodeData's simple mapping, overridden by
    the unconditional entries of SpecialCasing.txt."""
    _, lower = unicode_data(ucd)
    with open(os.path.join(ucd, "SpecialCasing.txt"), encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = [x.strip() for x in line.split(";")]
            if len(fields) > 4 and fields[4]:
                continue  # conditional mapping (Final_Sigma is applied in code)
            cp = int(fields[0], 16)
            mapped = [int(x, 16) for x in fields[1].split()]
            if mapped != [cp]:
                lower[cp] = mapped
            else:
                lower.pop(cp, None)
    return lower


# Word_Break property values in the order of their numeric codes; Other is 0.
WORD_BREAK_VALUES = [
    "Other", "CR", "LF", "Newline", "Extend", "ZWJ", "Regional_Indicator", "Format", "Katakana",
    "Hebrew_Letter", "ALetter", "Single_Quote", "Double_Quote", "MidNumLet", "MidLetter", "MidNum",
    "Numeric", "ExtendNumLet", "WSegSpace",
]
# Extended_Pictographic shares the word-break byte, above the property code.
WORD_BREAK_EXT_PICT = 1 << 5
assert len(WORD_BREAK_VALUES) <= WORD_BREAK_EXT_PICT


def word_break(ucd):
    codes = {name: i for i, name in enumerate(WORD_BREAK_VALUES)}
    values = [0] * MAX_CP
    path = os.path.join(ucd, "auxiliary", "WordBreakProperty.txt")
    for first, last, fields in parse_ranges(path):
        for cp in range(first, last + 1):
            values[cp] = codes[fields[0]]
    emoji = os.path.join(ucd, "emoji", "emoji-data.txt")
    for cp in property_set(emoji, "Extended_Pictographic"):
        values[cp] |= WORD_BREAK_EXT_PICT
    return values


# name -> (C type, function returning one value per code point, doc)
TABLES = {
    "char_flags": ("uint8_t", char_flags, "Bit set of the kCharFlag* properties"),
    "word_break": ("uint8_t", word_break,
                   "Word_Break code (WordBreak enum) | kWordBreakExtPict for Extended_Pictographic"),
}


def two_stage(name, ctype, values, doc):
    blocks = {}
    stage1 = []
    stage2 = []
    for start in range(0, MAX_CP, BLOCK):
        block = tuple(values[start:start + BLOCK])
        if block not in blocks:
            blocks[block] = len(blocks)
            stage2.extend(block)
        stage1.append(blocks[block])
    index_type = "uint8_t" if len(blocks) <= 256 else "uint16_t"
    out = [f"// {doc}: {name}_stage2[{name}_stage1[cp >> 8] * 256 + (cp & 0xFF)]."]
    out.append(f"inline constexpr {index_type} {name}_stage1[{len(stage1)}] = {{")
    out.extend(wrap(stage1))
    out.append("};")
    out.append(f"inline constexpr {ctype} {name}_stage2[{len(stage2)}] = {{")
    out.extend(wrap(stage2))
    out.append("};")
    return out


def wrap(numbers, per_line=24):
    return ["  " + ", ".join(str(n) for n in numbers[i:i + per_line]) + ","
            for i in range(0, len(numbers), per_line)]


def generate(ucd):
    with open(os.path.join(ucd, "ReadMe.txt"), encoding="utf-8") as f:
        m = re.search(r"Version (\d+\.\d+\.\d+)", f.read())
    version = m.group(1) if m else "unknown"
    out = [
        "// Generated by tools/gen_unicode.py from the Unicode Character Database "
        f"{version}. Do not edit.",
        "#pragma once",
        "",
        "#include <cstdint>",
        "",
        "namespace mn::unicode::tables {",
        "",
        f'inline constexpr const char* kUcdVersion = "{version}";',
        "",
    ]
    for name, bit in FLAG_BITS.items():
        camel = "".join(p.capitalize() for p in name.split("_"))
        out.append(f"inline constexpr uint8_t kCharFlag{camel} = {bit};")
    out.append("")
    out.append("// Word_Break property values (UAX #29).")
    out.append("enum class WordBreak : uint8_t {")
    for i, name in enumerate(WORD_BREAK_VALUES):
        out.append(f"  {name.replace('_', '')} = {i},")
    out.append("};")
    out.append(f"inline constexpr uint8_t kWordBreakExtPict = {WORD_BREAK_EXT_PICT};")
    out.append(f"inline constexpr uint8_t kWordBreakMask = {WORD_BREAK_EXT_PICT - 1};")
    out.append("")
    for name, (ctype, fn, doc) in TABLES.items():
        out.extend(two_stage(name, ctype, fn(ucd), doc))
        out.append("")
    lower = full_lowercase(ucd)
    out.append("// Full lowercase mapping for every code point that changes, sorted by code point;")
    out.append("// second is 0 when the mapping is a single code point.")
    out.append("struct LowerEntry { uint32_t cp, first, second; };")
    out.append(f"inline constexpr LowerEntry lowercase[{len(lower)}] = {{")
    for cp in sorted(lower):
        mapped = lower[cp] + [0]
        assert len(lower[cp]) <= 2, hex(cp)
        out.append(f"  {{0x{cp:X}, 0x{mapped[0]:X}, 0x{mapped[1]:X}}},")
    out.append("};")
    out.append("")
    out.append("}  // namespace mn::unicode::tables")
    return "\n".join(out) + "\n"


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--ucd", default="/usr/share/unicode")
    parser.add_argument("--output", default=os.path.join(here, "..", "native", "unicode_tables.h"))
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    text = generate(args.ucd)
    if args.check:
        with open(args.output, encoding="utf-8") as f:
            if f.read() != text:
                print(f"{args.output} is out of date; run tools/gen_unicode.py", file=sys.stderr)
                return 1
        return 0
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
