// How the index's tokenizer (FTS5's unicode61, folding case and diacritics) cuts text
// into words, as far as the query translator and the index's own tokens need to know.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tamix::server {

// A byte that the tokenizer keeps: ASCII letters and digits, and everything from 0x80
// (letters of other scripts).
constexpr bool IsWordByte(char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || b >= 0x80;
}

// Punctuation, symbols and spaces from 0x80 that the tokenizer drops (Unicode's
// categories other than letters and numbers, in the blocks where pasted text has them:
// Latin-1, general punctuation, arrows and mathematical operators, CJK punctuation,
// full-width ASCII punctuation). The index's own markers (U+E000..U+E00F) count too:
// no text of a record or a query may form one.
bool IsSeparator(std::uint32_t code);

// Whether the tokenizer finds a term in the text: a phrase without one ("–" between two
// words) would match nothing and take every record out of an AND.
bool HasTerm(std::string_view text);

// How many terms FTS5 may make of the text, counted high: runs of ASCII letters and
// digits and of the Latin letters U+00C0..U+024F are one term each, and every other
// character from 0x80 is counted as a term of its own (some are letters of a longer
// word, some are separators that would split one).
int TermsIn(std::string_view text);

// The words of the text: runs of characters that are not separators. Bytes that are not
// UTF-8 stay inside words, as the tokenizer keeps them.
std::vector<std::string_view> Words(std::string_view text);
// How many words Words finds, without making the list.
std::size_t WordCount(std::string_view text);

// The text with the index's markers (U+E000..U+E00F) replaced by spaces.
std::string WithoutMarkers(std::string_view text);

// The index's markers, in UTF-8. Each is a letter to the tokenizer (private use, "Co"),
// so a marker stuck to words makes them one token that no plain word can match.
namespace marker {
inline constexpr std::string_view kJoin = "\xEE\x80\x80";      // U+E000: words of one value
inline constexpr std::string_view kMesh = "\xEE\x80\x81";      // U+E001: [mh]
inline constexpr std::string_view kQualifier = "\xEE\x80\x82"; // U+E002: descriptor/qualifier
inline constexpr std::string_view kMajor = "\xEE\x80\x83";     // U+E003: [majr]
inline constexpr std::string_view kType = "\xEE\x80\x84";      // U+E004: [pt]
inline constexpr std::string_view kLanguage = "\xEE\x80\x85";  // U+E005: [la]
inline constexpr std::string_view kJournal = "\xEE\x80\x86";   // U+E006: [ta]
inline constexpr std::string_view kFirst = "\xEE\x80\x87";     // U+E007: [1au]
inline constexpr std::string_view kLast = "\xEE\x80\x88";      // U+E008: [lastau]
inline constexpr std::string_view kInitials = "\xEE\x80\x89";  // U+E009: last name/initials
inline constexpr std::string_view kEnd = "\xEE\x80\x8F";       // U+E00F: ends a token
} // namespace marker

// One token that stands for a whole value: the marker, the value's words joined, the end
// ("⟨mh⟩heart⟨join⟩failure⟨end⟩"). Ending in a marker, it escapes the Porter stemmer,
// so it matches only that value (in any case, with or without diacritics). With no
// words, "". Without its end it is the start of every token that begins so, for a
// prefix search.
std::string ValueToken(std::string_view kind, std::string_view value, bool end = true);
// The same with a second part after a separator marker: a descriptor and a qualifier.
std::string ValueToken(std::string_view kind, std::string_view value, std::string_view separator,
                       std::string_view second, bool end = true);

} // namespace tamix::server
