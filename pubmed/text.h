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

// Drops every character outside ASCII: a lead byte takes its continuation bytes with
// it, a stray byte goes alone. A no-break space becomes a space, so words stay apart.
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
// must arrive intact ("&", "#", "%", "+" and spaces included).
std::string EncodeQueryValue(std::string_view text);

// & < > " ' as entities, for text placed in HTML or XML.
std::string HtmlEscape(std::string_view text);

} // namespace tamix
