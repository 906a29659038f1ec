#include "pubmed/translation.h"

#include <gtest/gtest.h>

namespace tamix {
namespace {

TEST(Translation, SourceStartsAtAbstractAndHoldsAtMost1999Bytes) {
    const std::string longAbstract = "Abstract " + std::string(5000, 'a');
    EXPECT_EQ(MakeTranslationSource(longAbstract), longAbstract.substr(0, 1999));
    const std::string noWord(3000, 'b');
    EXPECT_EQ(MakeTranslationSource(noWord), noWord.substr(0, 1999));
    EXPECT_EQ(MakeTranslationSource("short text"), "short text");
    EXPECT_EQ(MakeTranslationSource("  Title  Abstract  BACKGROUND"), "Abstract  BACKGROUND");
}

// fuzz_translation decodes the service's own answers (surrogate pairs, escaped ASCII, the
// text around the run) back to the text sent; these are answers it never writes.
TEST(Translation, DecodesTheFirstEscapeRun) {
    const struct {
        const char *answer, *text, *why;
    } cases[] = {
        {"\"\\ud83dx\\u0041\"", "\xEF\xBF\xBD\x41", "a high surrogate without its low half"},
        {"\"\\u4e2d2019\"", "\xE2\x80\x99",
         "digits after an escape merge with it; the low 16 bits stay"},
        {"\"\\u4e2d PCR\\u6587\"", "\xE4\xB8\xAD",
         "a word that is not hex reads as 0 and ends the text"},
        {"\\u4e2d\\u6587 no quote", "", "no closing quote, no run"},
        {"\"\\u0041 b c d e f g\\u0042\"", "A\x0B", "no more units than escapes"},
        {"\"\\u0041\\u123456789\"", "A\xEF\xBF\xBF", "overflow saturates to 0xFFFFFFFF"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecodeTranslation(c.answer), c.text) << c.why;
}

} // namespace
} // namespace tamix
