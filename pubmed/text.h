// The text helpers every parser of the PubMed unit is built on. Standard library only.
// Texts are UTF-8 byte strings; positions and lengths are byte counts from 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tamix {

using Pos = std::ptrdiff_t;

// Position of the first occurrence of pattern that begins at or after from, or -1;
// also -1 when from is negative or beyond the end. An empty pattern is found at from.
Pos Find(std::string_view text, std::string_view pattern, Pos from);

// Clamps like the parsers expect: a negative start counts as 0, a negative length as 0,
// a length running past the end stops there, a start beyond the end gives "".
std::string_view Substring(std::string_view text, Pos start, Pos length);

// Each tag becomes exactly one space, a '>' outside a tag disappears and an unclosed
// tag swallows the rest. Every '<' writes a space, even one inside a tag.
std::string StripTags(std::string_view text);

// Decodes &amp; &lt; &gt; &quot; &#39; &apos; &nbsp; and numeric references (&#233;
// &#xE9;) into UTF-8. Anything else, and references without ';', stay as written.
// Invalid code points become U+FFFD.
std::string DecodeEntities(std::string_view text);

// Spells every character outside ASCII in ASCII, so that names, doses and inequalities
// keep their meaning; the table comes from Unicode's data and pubmed/ascii_spellings.txt
// (pubmed/make_ascii_table.py makes it at build time).
// - Letters lose their marks: Hernández -> Hernandez, Søren -> Soren, ß -> ss, æ -> ae,
//   þ -> th. Greek letters become their names: β-blocker -> beta-blocker, Δ -> Delta.
//   Other scripts' digits are digits; ligatures, full-width and mathematical forms their
//   letters (ﬁ -> fi).
// - µ and μ become "u" straight before the first letter of a unit symbol (g l L m M s A V
//   W C U I S G F H J N P T K k E e: 5 ug/kg, 10 uL, umol/L, uM, uCi, uIU) and "mu"
//   anywhere else (mu-opioid, mu = 2). Å alone is "Angstrom" (2.8 Angstrom, but Asa).
// - Symbols take their ASCII spelling: >= <= != ~ +/- x / -> <- - ' " ... deg (37 °C ->
//   37 degC, 90° -> 90deg), per mille, (c) (R) TM EUR; other spaces become a space.
//   Superscripts and fractions straight after a digit are set apart (10^9, 2.5x10^-3,
//   1 1/2), elsewhere plain (kg/m2, Ca2+, 1/2).
// Anything with no ASCII spelling is dropped: a well-formed character whole, an invalid
// byte alone (the ASCII after it stays). The result is never more than four times as
// long as text.
std::string ReduceToAscii(std::string_view text);

// Cuts text to at most maxBytes without leaving part of a UTF-8 character behind.
std::string_view TruncateUtf8(std::string_view text, std::size_t maxBytes);

std::string ToLowerAscii(std::string_view text);

// 0 to 15 for a hexadecimal digit of either case, -1 for any other byte.
int HexDigitValue(char c);

void AppendUtf8(std::string& out, char32_t codePoint);

// Decodes the UTF-8 character at text[i] into codePoint and moves i past it; false, with
// i moved one byte on, where no well-formed character starts (overlong forms and
// surrogates included).
bool DecodeUtf8(std::string_view text, std::size_t& i, char32_t& codePoint);
bool IsValidUtf8(std::string_view text);

// Percent-encodes the bytes that would break an address (% & # " < > \, control bytes
// and bytes from 0x80) and writes each space as spaceAs; everything else stays.
std::string EncodeAddressText(std::string_view text, std::string_view spaceAs);

// Percent-encodes every byte but RFC 3986's unreserved ones, for a query value that
// must arrive intact ("&", "#", "%", "+" and spaces included); spaces become spaceAs
// ("+" in a form's encoding).
std::string EncodeQueryValue(std::string_view text, std::string_view spaceAs = "%20");

// Percent-encodes every byte but ASCII letters, digits and those in kept (spaces too,
// unless kept holds one).
std::string EncodeExcept(std::string_view text, std::string_view kept);

// & < > " ' as entities, for text placed in HTML or XML.
std::string HtmlEscape(std::string_view text);

// The inside of a JSON string: quote, backslash and control bytes escaped; UTF-8 as it is.
std::string JsonEscape(std::string_view text);

} // namespace tamix
