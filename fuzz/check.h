// What the fuzz targets share: a check that aborts (so that libFuzzer keeps the input as
// a crash and the run fails) and small predicates over byte strings.
#pragma once

#include "pubmed/text.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#define FUZZ_CHECK(condition)                                                                      \
    ((condition) ? (void)0 : ::tamix::fuzz::Fail(#condition, __FILE__, __LINE__))

namespace tamix::fuzz {

[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    std::abort();
}

inline std::string_view Bytes(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

inline bool IsAscii(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// Every byte printable ASCII, space excluded: what may stand in an address as sent.
inline bool IsAddressText(std::string_view text) {
    for (char c : text)
        if (c <= ' ' || c >= 0x7F) return false;
    return true;
}

// %XX as a byte (and, when plusIsSpace, '+' as a space); anything else as it stands.
inline std::string PercentDecode(std::string_view text, bool plusIsSpace) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (plusIsSpace && text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
                   HexDigitValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace tamix::fuzz
