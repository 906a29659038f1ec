// The translation's way out (source text and request address) and back (the decoding of
// the service's \uXXXX run).
#include "check.h"

#include "pubmed/addresses.h"
#include "pubmed/translation.h"

#include <cstdio>

using namespace tamix;

namespace {

// The answer as the service writes it: every UTF-16 unit of the text as \uXXXX.
std::string EscapeAsService(std::string_view text) {
    std::string out = "{\"trans_result\":[{\"src\":\"x\",\"dst\":\"";
    char unit[8];
    const auto add = [&](unsigned u) {
        std::snprintf(unit, sizeof unit, "\\u%04x", u);
        out += unit;
    };
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        if (!DecodeUtf8(text, i, cp)) continue;
        if (cp >= 0x10000) {
            add(0xD800 + ((cp - 0x10000) >> 10));
            add(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            add(cp);
        }
    }
    return out + "\"}]}";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in = fuzz::Bytes(data, size);

    const auto translation = DecodeTranslation(in);
    FUZZ_CHECK(translation.has_value() == (in.find("\\u") != std::string_view::npos));
    if (translation) {
        FUZZ_CHECK(IsValidUtf8(*translation));
        FUZZ_CHECK(translation->find('\0') == std::string::npos);
        // Each escape is six bytes and gives at most three.
        FUZZ_CHECK(translation->size() <= in.size());
    }

    // What the service sends back decodes to the text that was sent, up to its first NUL.
    if (IsValidUtf8(in) && !in.empty()) {
        const auto back = DecodeTranslation(EscapeAsService(in));
        FUZZ_CHECK(back.has_value());
        FUZZ_CHECK(*back == in.substr(0, in.find('\0')));
    }

    const std::string source = MakeTranslationSource(in);
    FUZZ_CHECK(source.size() <= kMaxSourceBytes);
    FUZZ_CHECK(in.find(source) != std::string_view::npos);

    const std::string address = MakeTranslateAddress(source);
    FUZZ_CHECK(fuzz::IsAddressText(address));
    const std::size_t q = address.find("&q=");
    FUZZ_CHECK(q != std::string::npos);
    const std::size_t qEnd = address.find('&', q + 3);
    FUZZ_CHECK(fuzz::PercentDecode(address.substr(q + 3, qEnd - q - 3), false) == source);
    return 0;
}
