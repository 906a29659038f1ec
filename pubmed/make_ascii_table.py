#!/usr/bin/env python3
"""Makes the table of ASCII spellings that ReduceToAscii (text.cpp) compiles in.

Usage: make_ascii_table.py UnicodeData.txt ascii_spellings.txt OUTPUT.inc

A code point is spelled, first match wins, by: its entry in ascii_spellings.txt; its
decimal digit value (Nd); its canonical or compatibility decomposition, each part spelled
the same way and combining marks dropped; a Latin letter's name ("LATIN SMALL LETTER O
WITH STROKE" is o, "LATIN CAPITAL LETTER AE" is AE); a Greek letter's name ("GREEK SMALL
LETTER BETA" is beta). Anything else has no spelling and is dropped.

The table: the code points with a spelling, sorted for a binary search; their spellings
(offset and lengths in one string, and the rule that picks the second spelling); and for
the two-byte characters (U+0080 to U+07FF) each one's row, so that Latin and Greek letters
need no search.
"""

import re
import sys

# text.cpp's rule numbers.
RULES = {"always": 0, "before-unit": 1, "after-digit": 2, "alone": 3}
# Each byte of input may become at most this many bytes (text.h promises it).
MAX_GROWTH = 4

LATIN_NAME = re.compile(r"^LATIN (SMALL|CAPITAL) (?:LETTER|LIGATURE) ([A-Z]{1,2})(?: WITH .+)?$")
GREEK_NAME = re.compile(r"^GREEK (SMALL|CAPITAL) LETTER ([A-Z]+)$")
# Decompositions that only change a character's look keep its spelling and rule.
PLAIN_FORMS = ("", "<compat>", "<font>", "<noBreak>", "<wide>", "<narrow>", "<small>",
               "<square>", "<sub>")
# Superscripts that read as an exponent straight after a digit: 10⁹ is 10^9, not 109.
EXPONENT = set("0123456789+-=()n")


class Spelling:
    def __init__(self, text, rule="always", alt=""):
        self.text, self.rule, self.alt = text, rule, alt


def read_unicode_data(path):
    chars = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(";")
            cp = int(fields[0], 16)
            if fields[1].startswith("<"):  # ranges (<CJK Ideograph, First>) and controls
                continue
            decomposition = fields[5].split()
            tag = decomposition.pop(0) if decomposition and decomposition[0].startswith("<") else ""
            chars[cp] = {
                "name": fields[1],
                "category": fields[2],
                "tag": tag,
                "parts": [int(p, 16) for p in decomposition],
                "digit": fields[6],
            }
    return chars


def read_hand_table(path):
    table = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            fields = [field.encode("ascii").decode("unicode_escape") for field in line.split("\t")]
            if len(fields) not in (2, 4) or (len(fields) == 4 and fields[2] not in RULES):
                sys.exit(f"{path}:{number}: expected CODE<TAB>SPELLING[<TAB>RULE<TAB>SPELLING]")
            table[int(fields[0], 16)] = Spelling(fields[1], *fields[2:])
    return table


class Speller:
    def __init__(self, chars, hand):
        self.chars, self.hand, self.memo = chars, hand, {}

    def spell(self, cp):
        if cp not in self.memo:
            self.memo[cp] = self._spell(cp)
        return self.memo[cp]

    def is_mark(self, cp):
        return cp in self.chars and self.chars[cp]["category"] in ("Mn", "Mc", "Me")

    def _spell(self, cp):
        if cp in self.hand:
            return self.hand[cp]
        if cp < 0x80:
            return Spelling(chr(cp))
        c = self.chars.get(cp)
        if c is None:
            return None
        if c["category"] == "Nd" and c["digit"]:
            return Spelling(c["digit"])
        if c["parts"]:
            return self._spell_decomposition(c["tag"], c["parts"])
        latin = LATIN_NAME.match(c["name"])
        if latin:
            letters = latin.group(2)
            return Spelling(letters.lower() if latin.group(1) == "SMALL" else letters)
        greek = GREEK_NAME.match(c["name"])
        if greek:
            name = greek.group(2).lower()
            return Spelling(name if greek.group(1) == "SMALL" else name.capitalize())
        return None

    def _spell_decomposition(self, tag, parts):
        kept = [p for p in parts if not self.is_mark(p)]
        if not kept or (tag == "<compat>" and kept == [0x20] and len(parts) > 1):
            return None  # a lone mark, or a spacing accent (¨ ¸ ˘): nothing to read
        spelled = [self.spell(p) for p in kept]
        if any(s is None for s in spelled):
            return None
        if len(spelled) == 1 and 0x338 not in parts and tag in PLAIN_FORMS:
            return spelled[0]  # µ keeps mu's rule, the angstrom sign the angstrom's
        # Inside one decomposition a mu before a letter is a unit's micro (㎍ is μg).
        text = ""
        for i, s in enumerate(spelled):
            next_is_letter = i + 1 < len(spelled) and spelled[i + 1].text[:1].isalpha()
            text += s.alt if s.rule == "before-unit" and next_is_letter else s.text
        if 0x338 in parts and not text.isalpha():
            text = "!" + text  # the slash through ≮ ≰ ≁ ↛ negates: "!<", not "<"
        if tag == "<circle>":
            return Spelling("(" + text + ")")
        if tag == "<fraction>":
            return Spelling(text, "after-digit", " " + text)  # 1½ is 1 1/2, not 11/2
        if tag == "<super>" and text in EXPONENT:
            return Spelling(text, "after-digit", "^" + text)
        return Spelling(text)


def utf8_length(cp):
    return 1 if cp < 0x80 else 2 if cp < 0x800 else 3 if cp < 0x10000 else 4


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    chars = read_unicode_data(sys.argv[1])
    hand = read_hand_table(sys.argv[2])
    speller = Speller(chars, hand)

    entries = []
    for cp in sorted(set(chars) | set(hand)):
        if cp < 0x80:
            continue
        s = speller.spell(cp)
        if s is None or (not s.text and not s.alt):
            continue
        for text in (s.text, s.alt):
            if not text.isascii() or len(text) > 255:
                sys.exit(f"U+{cp:04X}: spelling {text!r} is not short ASCII")
            if len(text) > MAX_GROWTH * utf8_length(cp):
                sys.exit(f"U+{cp:04X}: {text!r} grows more than {MAX_GROWTH} times")
        entries.append((cp, s))

    # One copy of each spelling: a rule's spelling follows the plain one.
    pool, offsets = "", {}
    rows = []
    for cp, s in entries:
        joined = s.text + (s.alt if s.rule != "always" else "")
        if joined not in offsets:
            offsets[joined] = len(pool)
            pool += joined
        rows.append((cp, offsets[joined], len(s.text),
                     len(s.alt) if s.rule != "always" else 0, RULES[s.rule]))
    if len(pool) > 0xFFFF:
        sys.exit("the spellings no longer fit 16-bit offsets")

    with open(sys.argv[3], "w", encoding="ascii") as out:
        out.write("// Generated by pubmed/make_ascii_table.py from UnicodeData.txt and\n"
                  "// pubmed/ascii_spellings.txt; edit those, not this.\n\n")
        out.write(f"constexpr std::uint32_t kSpelledCodePoints[{len(rows)}] = {{\n")
        for i in range(0, len(rows), 10):
            out.write("    " + " ".join(f"0x{r[0]:X}," for r in rows[i:i + 10]) + "\n")
        out.write("};\n\n")
        out.write(f"constexpr Spelling kSpellings[{len(rows)}] = {{\n")
        for i in range(0, len(rows), 6):
            out.write("    " + " ".join("{%d, %d, %d, %d}," % r[1:] for r in rows[i:i + 6]) + "\n")
        out.write("};\n\n")
        # Latin, Greek and the other two-byte characters find their row at once.
        row_of = {cp: row for row, (cp, *_) in enumerate(rows) if cp < 0x800}
        direct = [row_of.get(cp, 0xFFFF) for cp in range(0x80, 0x800)]
        out.write(f"constexpr std::uint16_t kTwoByteRows[{len(direct)}] = {{\n")
        for i in range(0, len(direct), 12):
            out.write("    " + " ".join(f"{r}," for r in direct[i:i + 12]) + "\n")
        out.write("};\n\n")
        out.write("constexpr char kSpellingText[] =\n")
        for i in range(0, len(pool), 64):
            chunk = pool[i:i + 64].replace("\\", "\\\\").replace('"', '\\"').replace("?", "\\?")
            out.write(f'    "{chunk}"\n')
        out.write(";\n")


if __name__ == "__main__":
    main()
