#include "pubmed/translation.h"

#include "pubmed/text.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tamix {

namespace {

bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// strtoul (text, 16) with a 32-bit unsigned long: optional sign and "0x", digits up to
// the first other byte, 0 when none, 0xFFFFFFFF on overflow.
std::uint32_t ReadHex32(std::string_view token) {
    std::size_t i = 0;
    while (i < token.size() && IsSpace(token[i]))
        ++i;
    bool negative = false;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) negative = token[i++] == '-';
    // A bare "0x" reads as 0 either way, so the prefix may be skipped unconditionally.
    if (i + 1 < token.size() && token[i] == '0' && (token[i + 1] == 'x' || token[i + 1] == 'X'))
        i += 2;
    std::uint64_t value = 0;
    bool overflow = false;
    for (; i < token.size() && HexDigitValue(token[i]) >= 0; ++i) {
        value = value * 16 + static_cast<std::uint64_t>(HexDigitValue(token[i]));
        if (value > 0xFFFFFFFFu) {
            overflow = true;
            value = 0xFFFFFFFFu;
        }
    }
    if (overflow) return 0xFFFFFFFFu;
    const auto v = static_cast<std::uint32_t>(value);
    return negative ? static_cast<std::uint32_t>(0u - v) : v;
}

std::string Utf16ToUtf8(const std::vector<char16_t>& units) {
    std::string out;
    for (std::size_t i = 0; i < units.size() && units[i] != 0; ++i) {
        const char16_t u = units[i];
        const bool high = u >= 0xD800 && u <= 0xDBFF;
        const bool low = u >= 0xDC00 && u <= 0xDFFF;
        if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else {
            AppendUtf8(out, high || low ? 0xFFFD : u);
        }
    }
    return out;
}

} // namespace

std::string MakeTranslationSource(std::string_view abstract) {
    const Pos start = Find(abstract, "Abstract", 0);
    const Pos length = std::min<Pos>(static_cast<Pos>(abstract.size()) - start, kMaxSourceBytes);
    return std::string(Substring(abstract, start, length));
}

std::optional<std::string> DecodeTranslation(std::string_view response) {
    const Pos first = Find(response, "\\u", 0);
    if (first == -1) return std::nullopt;
    const Pos quote = Find(response, "\"", first);
    const std::string_view run = Substring(response, first, quote - first);

    // Each "\u" becomes " 0x"; the result splits at spaces into tokens read as hex.
    std::string spaced;
    spaced.reserve(run.size() + run.size() / 2);
    std::size_t escapes = 0;
    for (std::size_t i = 0; i < run.size(); ++i) {
        if (run[i] == '\\' && i + 1 < run.size() && run[i + 1] == 'u') {
            spaced.append(" 0x");
            ++escapes;
            ++i;
        } else {
            spaced.push_back(run[i]);
        }
    }

    // Only as many units as there were escapes: words between escapes make tokens too.
    std::vector<char16_t> units;
    units.reserve(escapes);
    std::size_t i = 0;
    while (units.size() < escapes) {
        while (i < spaced.size() && spaced[i] == ' ')
            ++i;
        if (i == spaced.size()) break;
        const std::size_t tokenEnd = std::min(spaced.find(' ', i), spaced.size());
        units.push_back(static_cast<char16_t>(
            ReadHex32(std::string_view(spaced).substr(i, tokenEnd - i)) & 0xFFFF));
        i = tokenEnd;
    }
    return Utf16ToUtf8(units);
}

} // namespace tamix
