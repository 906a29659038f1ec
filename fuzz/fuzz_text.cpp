// The text helpers every page parser is built on: tag stripping, entity decoding, the
// reduction to ASCII, UTF-8 cutting and coding, and the escapes for addresses and HTML.
#include "check.h"

#include "pubmed/text.h"

#include <algorithm>

using namespace tamix;

namespace {

// The reduction may spell a character out ("alpha", "+/-"), never past four times the
// length of what it reduces.
constexpr std::size_t kMaxAsciiGrowth = 4;

void CheckUtf8Coding(std::string_view in, bool valid) {
    std::string again;
    for (std::size_t i = 0; i < in.size();) {
        const std::size_t before = i;
        char32_t cp = 0;
        if (DecodeUtf8(in, i, cp)) {
            FUZZ_CHECK(cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF));
            AppendUtf8(again, cp);
            FUZZ_CHECK(again.size() >= i - before);
            FUZZ_CHECK(std::string_view(again).substr(again.size() - (i - before)) ==
                       in.substr(before, i - before));
        } else {
            FUZZ_CHECK(!valid);
            FUZZ_CHECK(i == before + 1);
        }
    }
    if (valid) FUZZ_CHECK(again == in);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in = fuzz::Bytes(data, size);
    const bool valid = IsValidUtf8(in);
    CheckUtf8Coding(in, valid);

    const std::string stripped = StripTags(in);
    FUZZ_CHECK(stripped.size() <= in.size());
    FUZZ_CHECK(stripped.find_first_of("<>") == std::string::npos);
    if (valid) FUZZ_CHECK(IsValidUtf8(stripped));

    // A reference is never shorter than what it stands for.
    const std::string decoded = DecodeEntities(in);
    FUZZ_CHECK(decoded.size() <= in.size());
    if (valid) FUZZ_CHECK(IsValidUtf8(decoded));
    if (in.find('&') == std::string_view::npos) FUZZ_CHECK(decoded == in);

    const std::string ascii = ReduceToAscii(in);
    FUZZ_CHECK(fuzz::IsAscii(ascii));
    FUZZ_CHECK(ascii.size() <= kMaxAsciiGrowth * in.size());
    if (fuzz::IsAscii(in)) FUZZ_CHECK(ascii == in);
    // Nothing ASCII is lost or moved: what surrounds it only adds spellings or goes.
    std::size_t kept = 0;
    for (const char c : in) {
        if (static_cast<unsigned char>(c) >= 0x80) continue;
        kept = ascii.find(c, kept);
        FUZZ_CHECK(kept != std::string::npos);
        ++kept;
    }

    // Cut at a length taken from the input itself, so that every boundary gets tried.
    const std::size_t limit = size == 0 ? 0 : data[0] % (size + 1);
    const std::string_view cut = TruncateUtf8(in, limit);
    FUZZ_CHECK(in.size() <= limit ? cut.size() == in.size() : cut.size() <= limit);
    FUZZ_CHECK(in.substr(0, cut.size()) == cut);
    if (valid) {
        FUZZ_CHECK(IsValidUtf8(cut));
        // Only the one character that did not fit goes.
        FUZZ_CHECK(cut.size() + 3 >= std::min(limit, in.size()));
    }

    const std::string lower = ToLowerAscii(in);
    FUZZ_CHECK(lower.size() == in.size());
    FUZZ_CHECK(lower.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos);

    const std::string address = EncodeAddressText(in, "%20");
    FUZZ_CHECK(fuzz::IsAddressText(address));
    FUZZ_CHECK(address.find_first_of("&#\"<>\\") == std::string::npos);
    FUZZ_CHECK(fuzz::PercentDecode(address, false) == in);

    const std::string value = EncodeQueryValue(in);
    FUZZ_CHECK(value.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                       "0123456789-._~%") == std::string::npos);
    FUZZ_CHECK(fuzz::PercentDecode(value, false) == in);

    const std::string escaped = HtmlEscape(in);
    FUZZ_CHECK(escaped.find_first_of("<>\"'") == std::string::npos);
    FUZZ_CHECK(DecodeEntities(escaped) == in);
    return 0;
}
