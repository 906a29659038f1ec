#include "server/index/words.h"

#include <array>

namespace tamix::server {

namespace {

// The length of the UTF-8 sequence a lead byte starts; 1 for a stray byte.
std::size_t SequenceLength(unsigned char b) {
    return b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
}

// The code point at text[i] when it is whole UTF-8 from 0x80; 0 when it is not UTF-8.
std::uint32_t CodeAt(std::string_view text, std::size_t i, std::size_t length) {
    if (length == 1 || i + length > text.size()) return 0;
    std::uint32_t code = static_cast<unsigned char>(text[i]) & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k)
        code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    return code;
}

bool IsMarker(std::uint32_t code) {
    return code >= 0xE000 && code <= 0xE00F;
}

} // namespace

bool IsSeparator(std::uint32_t code) {
    static constexpr std::pair<std::uint32_t, std::uint32_t> kRanges[] = {
        {0x80, 0xA9},     {0xAB, 0xB1},     {0xB4, 0xB4},     {0xB6, 0xB8},     {0xBB, 0xBB},
        {0xBF, 0xBF},     {0xD7, 0xD7},     {0xF7, 0xF7},     {0x2000, 0x206F}, {0x2190, 0x22FF},
        {0x3000, 0x3004}, {0x3008, 0x3020}, {0x302A, 0x3030}, {0x3036, 0x3037}, {0x303D, 0x303F},
        {0xE000, 0xE00F}, {0xFF01, 0xFF0F}};
    for (const auto& [first, last] : kRanges)
        if (code >= first && code <= last) return true;
    return false;
}

bool HasTerm(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            if (IsWordByte(text[i])) return true;
            ++i;
            continue;
        }
        const std::size_t length = SequenceLength(b);
        const std::uint32_t code = CodeAt(text, i, length);
        if (code == 0) return true; // not UTF-8: kept as it is
        if (!IsSeparator(code)) return true;
        i += length;
    }
    return false;
}

int TermsIn(std::string_view text) {
    int terms = 0;
    bool inWord = false;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t length = 1;
        bool latinLetter = false;
        if (b >= 0x80) {
            length = SequenceLength(b);
            if (length == 2 && i + 1 < text.size()) {
                const int code =
                    ((b & 0x1F) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3F);
                latinLetter = code >= 0xC0 && code <= 0x24F && code != 0xD7 && code != 0xF7;
            }
        }
        const bool ascii = b < 0x80 && IsWordByte(static_cast<char>(b));
        if (ascii || latinLetter) {
            if (!inWord) ++terms;
            inWord = true;
        } else {
            if (b >= 0x80) ++terms;
            inWord = false;
        }
        i += length;
    }
    return terms;
}

namespace {

// Word bytes of ASCII, by byte.
constexpr auto kAsciiWord = [] {
    std::array<bool, 128> word{};
    for (int c = 0; c < 128; ++c)
        word[c] = IsWordByte(static_cast<char>(c));
    return word;
}();

template <typename OnWord> void ForEachWord(std::string_view text, OnWord&& onWord) {
    std::size_t start = std::string_view::npos;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        bool word = true;
        std::size_t next = i + 1;
        if (b < 0x80) {
            // A run of ASCII word bytes, or of others, at once: an import counts the words
            // of every record's texts.
            word = kAsciiWord[b];
            while (next < text.size() && static_cast<unsigned char>(text[next]) < 0x80 &&
                   kAsciiWord[static_cast<unsigned char>(text[next])] == word)
                ++next;
        } else {
            const std::size_t length = std::min(SequenceLength(b), text.size() - i);
            const std::uint32_t code = CodeAt(text, i, length);
            if (code != 0) {
                word = !IsSeparator(code);
                next = i + length;
            }
        }
        if (word && start == std::string_view::npos) start = i;
        if (!word && start != std::string_view::npos) {
            onWord(text.substr(start, i - start));
            start = std::string_view::npos;
        }
        i = next;
    }
    if (start != std::string_view::npos) onWord(text.substr(start));
}

} // namespace

std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    ForEachWord(text, [&](std::string_view word) { words.push_back(word); });
    return words;
}

std::size_t WordCount(std::string_view text) {
    std::size_t count = 0;
    ForEachWord(text, [&](std::string_view) { ++count; });
    return count;
}

std::string WithoutMarkers(std::string_view text) {
    std::string out(text);
    for (std::size_t at = out.find("\xEE\x80"); at != std::string::npos;
         at = out.find("\xEE\x80", at + 1)) {
        if (at + 2 < out.size() && IsMarker(CodeAt(out, at, 3))) out.replace(at, 3, "   ");
    }
    return out;
}

std::string ValueToken(std::string_view kind, std::string_view value, bool end) {
    std::string token;
    ForEachWord(value, [&](std::string_view word) {
        token += token.empty() ? kind : marker::kJoin;
        token += word;
    });
    if (!token.empty() && end) token += marker::kEnd;
    return token;
}

std::string ValueToken(std::string_view kind, std::string_view value, std::string_view separator,
                       std::string_view second, bool end) {
    std::string token = ValueToken(kind, value, false);
    const std::string rest = ValueToken(separator, second, false);
    if (token.empty() || rest.empty()) return {};
    token += rest;
    if (end) token += marker::kEnd;
    return token;
}

} // namespace tamix::server
