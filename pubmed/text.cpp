#include "pubmed/text.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace tamix {

Pos Find(std::string_view text, std::string_view pattern, Pos from) {
    if (from < 0 || from > static_cast<Pos>(text.size())) return -1;
    const auto at = text.find(pattern, static_cast<std::size_t>(from));
    return at == std::string_view::npos ? -1 : static_cast<Pos>(at);
}

std::string_view Substring(std::string_view text, Pos start, Pos length) {
    const Pos size = static_cast<Pos>(text.size());
    if (start < 0) start = 0;
    if (length < 0) length = 0;
    if (start > size) return {};
    if (length > size - start) length = size - start;
    return text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(length));
}

namespace {

const char* NextOf(const char* from, const char* end, char c) {
    const void* hit = std::memchr(from, c, static_cast<std::size_t>(end - from));
    return hit ? static_cast<const char*>(hit) : end;
}

// End of the run of ASCII bytes that starts at i, eight bytes at a time where it can.
std::size_t AsciiRunEnd(const unsigned char* p, std::size_t i, std::size_t n) {
    constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
    for (std::uint64_t word; i + 8 <= n; i += 8) {
        std::memcpy(&word, p + i, 8);
        if (word & kHighBits) break;
    }
    while (i < n && p[i] < 0x80)
        ++i;
    return i;
}

bool IsContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// Bytes of the character that a lead byte starts; 0 for a byte that cannot lead.
int Utf8Length(unsigned char b) {
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) return 2;
    if (b >= 0xE0 && b <= 0xEF) return 3;
    if (b >= 0xF0 && b <= 0xF4) return 4;
    return 0;
}

// Reads a numeric reference body ("233" or "xE9") ending in ';' at text[i]; returns the
// bytes consumed after "&#", or 0 when it is not a complete reference.
std::size_t ReadNumericReference(std::string_view text, std::size_t i, char32_t& value) {
    const bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
    std::size_t j = i + (hex ? 1 : 0);
    const std::size_t digitsStart = j;
    std::uint32_t v = 0;
    while (j < text.size() &&
           (hex ? HexDigitValue(text[j]) >= 0 : (text[j] >= '0' && text[j] <= '9'))) {
        if (v <= 0x10FFFF)
            v = v * (hex ? 16 : 10) + static_cast<std::uint32_t>(HexDigitValue(text[j]));
        ++j;
    }
    if (j == digitsStart || j >= text.size() || text[j] != ';') return 0;
    const bool valid = v != 0 && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF);
    value = valid ? v : 0xFFFD;
    return j + 1 - i;
}

struct NamedEntity {
    std::string_view name; // without '&', with ';'
    std::string_view text;
};

constexpr NamedEntity kNamedEntities[] = {
    {"amp;", "&"},   {"lt;", "<"},   {"gt;", ">"},
    {"quot;", "\""}, {"apos;", "'"}, {"nbsp;", "\xC2\xA0"},
};

} // namespace

std::string StripTags(std::string_view text) {
    std::string out(text.size(), '\0');
    char* o = out.data();
    const char* p = text.data();
    const char* const end = p + text.size();
    const char* nextLt = NextOf(p, end, '<');
    const char* nextGt = NextOf(p, end, '>');
    bool outside = true;
    while (p < end) {
        if (nextLt < p) nextLt = NextOf(p, end, '<');
        if (nextGt < p) nextGt = NextOf(p, end, '>');
        const char* stop = std::min(nextLt, nextGt);
        if (outside) {
            std::memcpy(o, p, static_cast<std::size_t>(stop - p));
            o += stop - p;
        }
        p = stop;
        if (p == end) break;
        if (*p == '<') {
            *o++ = ' ';
            outside = false;
        } else {
            outside = true;
        }
        ++p;
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
    return out;
}

std::string DecodeEntities(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t amp = text.find('&', i);
        if (amp == std::string_view::npos) {
            out.append(text.substr(i));
            break;
        }
        out.append(text.substr(i, amp - i));
        i = amp + 1;
        if (i < text.size() && text[i] == '#') {
            char32_t cp = 0;
            if (const std::size_t used = ReadNumericReference(text, i + 1, cp)) {
                AppendUtf8(out, cp);
                i += 1 + used;
                continue;
            }
        } else {
            const std::string_view rest = text.substr(i);
            const auto* named = std::find_if(
                std::begin(kNamedEntities), std::end(kNamedEntities),
                [&](const NamedEntity& e) { return rest.substr(0, e.name.size()) == e.name; });
            if (named != std::end(kNamedEntities)) {
                out.append(named->text);
                i += named->name.size();
                continue;
            }
        }
        out.push_back('&');
    }
    return out;
}

namespace {

// How a spelling depends on its neighbours (make_ascii_table.py writes the numbers).
enum SpellingRule : std::uint8_t {
    kAlways = 0,
    kBeforeUnit = 1, // "u" for micro before a unit: 5 ug/kg, but mu-opioid
    kAfterDigit = 2, // 10^9 and 1 1/2, but m2 and 1/2
    kAlone = 3,      // Angstrom with no letter beside it, but Asa
};

// The alternative spelling, where the rule holds, follows the plain one in kSpellingText.
struct Spelling {
    std::uint16_t offset;
    std::uint8_t length;
    std::uint8_t altLength;
    std::uint8_t rule;
};

#include "ascii_spellings.inc"

static_assert(std::size(kSpelledCodePoints) == std::size(kSpellings));
constexpr std::uint16_t kNoRow = 0xFFFF;

// The first letters of the unit symbols that a micro sign stands before: g, l/L (litre),
// m (metre, mole), M (molar), s, A, V, W, C (Ci), U, I (IU), S (Sv, siemens), G (Gy), F, H
// (Hz), J, N, P (Pa), T, K, k (kat), E, e (Eq, eq).
bool StartsUnit(unsigned char c) {
    return c != 0 && std::strchr("glLmMsAVWCUISGFHJNPTKkEe", c) != nullptr;
}

bool IsAsciiLetter(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsAsciiDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// Whether the rule holds for a character at text[start, end).
bool RuleHolds(std::uint8_t rule, const unsigned char* p, std::size_t start, std::size_t end,
               std::size_t n) {
    const unsigned char before = start > 0 ? p[start - 1] : 0;
    const unsigned char after = end < n ? p[end] : 0;
    switch (rule) {
    case kBeforeUnit:
        return StartsUnit(after);
    case kAfterDigit:
        return IsAsciiDigit(before);
    case kAlone:
        // A byte from 0x80 may be part of a letter: only ASCII counts as no letter.
        return before < 0x80 && !IsAsciiLetter(before) && after < 0x80 && !IsAsciiLetter(after);
    default:
        return false;
    }
}

} // namespace

std::string ReduceToAscii(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const std::size_t run = AsciiRunEnd(p, i, n);
        out.append(text.data() + i, run - i);
        if (run == n) break;
        const std::size_t start = run;
        i = run;
        std::size_t row = 0;
        char32_t cp = 0;
        if (p[i] >= 0xC2 && p[i] <= 0xDF && i + 1 < n && IsContinuation(p[i + 1])) {
            // Latin, Greek and the like, the most of what an abstract holds, at once.
            row = kTwoByteRows[((p[i] & 0x1Fu) << 6 | (p[i + 1] & 0x3Fu)) - 0x80];
            i += 2;
            if (row == kNoRow) continue;
        } else if (!DecodeUtf8(text, i, cp)) {
            continue; // an invalid byte goes alone
        } else {
            const auto* hit = std::lower_bound(std::begin(kSpelledCodePoints),
                                               std::end(kSpelledCodePoints), std::uint32_t{cp});
            if (hit == std::end(kSpelledCodePoints) || *hit != cp) continue;
            row = static_cast<std::size_t>(hit - std::begin(kSpelledCodePoints));
        }
        const Spelling& s = kSpellings[row];
        if (s.rule != kAlways && RuleHolds(s.rule, p, start, i, n)) {
            out.append(kSpellingText + s.offset + s.length, s.altLength);
        } else if (s.length == 1) {
            out.push_back(kSpellingText[s.offset]); // most letters: cheaper than append
        } else {
            out.append(kSpellingText + s.offset, s.length);
        }
    }
    return out;
}

std::string_view TruncateUtf8(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    std::size_t cut = maxBytes;
    while (cut > 0 && IsContinuation(static_cast<unsigned char>(text[cut])))
        --cut;
    return text.substr(0, cut);
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string ToLowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool DecodeUtf8(std::string_view text, std::size_t& i, char32_t& cp) {
    const auto b = static_cast<unsigned char>(text[i]);
    const int length = Utf8Length(b);
    if (length == 0 || i + static_cast<std::size_t>(length) > text.size()) {
        ++i;
        return false;
    }
    cp = length == 1 ? b : b & (0xFF >> (length + 1));
    for (int k = 1; k < length; ++k) {
        const auto c = static_cast<unsigned char>(text[i + k]);
        if (!IsContinuation(c)) {
            ++i;
            return false;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    const bool overlong = (length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000);
    if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return false;
    }
    i += static_cast<std::size_t>(length);
    return true;
}

bool IsValidUtf8(std::string_view text) {
    char32_t cp = 0;
    for (std::size_t i = 0; i < text.size();)
        if (!DecodeUtf8(text, i, cp)) return false;
    return true;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

namespace {

void AppendPercent(std::string& out, unsigned char b) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out.push_back('%');
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0x0F]);
}

} // namespace

std::string EncodeAddressText(std::string_view text, std::string_view spaceAs) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b == ' ') {
            out.append(spaceAs);
        } else if (b < 0x20 || b >= 0x7F || std::strchr("%&#\"<>\\", c)) {
            AppendPercent(out, b);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

namespace {

std::string Encode(std::string_view text, std::string_view kept, std::string_view spaceAs) {
    std::string out;
    out.reserve(text.size() * 3);
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        const bool alphanumeric =
            (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9');
        if (alphanumeric || kept.find(c) != std::string_view::npos) {
            out.push_back(c);
        } else if (b == ' ' && !spaceAs.empty()) {
            out.append(spaceAs);
        } else {
            AppendPercent(out, b);
        }
    }
    return out;
}

} // namespace

std::string EncodeQueryValue(std::string_view text, std::string_view spaceAs) {
    return Encode(text, "-._~", spaceAs);
}

std::string EncodeExcept(std::string_view text, std::string_view kept) {
    return Encode(text, kept, {});
}

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string JsonEscape(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (b < 0x20) {
                out += "\\u00";
                out += kHex[b >> 4];
                out += kHex[b & 15];
            } else {
                out += c;
            }
        }
    }
    return out;
}

} // namespace tamix
