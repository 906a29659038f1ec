// What machine translation services answer, read by the paths the endpoint takes into it
// (a chat service's choices, DeepL's translations, LibreTranslate's field), and the text
// work around a request: pieces cut at sentence ends and the numbers checked.
#include "check.h"

#include "server/translate/services.h"
#include "server/translate/translate.h"

using namespace tamix;
using namespace tamix::server;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in = fuzz::Bytes(data, size);

    // A value read is never longer than the answer it came from (escapes only shrink).
    for (const auto& found : {JsonPath(in, {"choices", 0, "message", "content"}),
                              JsonPath(in, {"translations", 1, "text"}),
                              JsonStringField(in, "translatedText")})
        if (found) FUZZ_CHECK(found->size() <= in.size());

    // Pieces within the limit that give the text back, never cutting a character of
    // valid UTF-8.
    if (!in.empty()) {
        const std::size_t limit = 16 + static_cast<unsigned char>(in[0]);
        const std::string_view text = in.substr(1);
        std::size_t total = 0;
        for (const std::string& piece : SplitSentences(text, limit)) {
            FUZZ_CHECK(piece.size() <= limit);
            if (IsValidUtf8(text)) FUZZ_CHECK(IsValidUtf8(piece));
            total += piece.size();
        }
        FUZZ_CHECK(total <= text.size());
    }

    // A text keeps its own numbers.
    FUZZ_CHECK(MissingNumbers(in, in).empty());
    for (const std::string& number : NumbersIn(in))
        FUZZ_CHECK(!number.empty() && number.front() != '.' && number.back() != '.');
    return 0;
}
