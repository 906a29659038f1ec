#include "pubmed/text.h"
#include "support/unicode_data.h"

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <utility>

namespace tamix {
namespace {

// The byte-by-byte rule, written as plainly as possible, as the oracle for the fast one.
std::string StripTagsReference(const std::string& text) {
    std::string out;
    bool outside = true;
    for (char c : text) {
        if (c == '<' || c == '>') {
            if (c == '<') out.push_back(' ');
            outside = c == '>';
        } else if (outside) {
            out.push_back(c);
        }
    }
    return out;
}

TEST(Text, StripTagsMakesEachTagOneSpace) {
    // Unclosed tags, stray '>', runs of both, zero bytes and bytes beyond ASCII.
    std::mt19937 random(7);
    const std::string alphabet("<>ab \0\xC3\xA9", 8);
    for (int round = 0; round < 500; ++round) {
        std::string text(random() % 300, ' ');
        for (char& c : text)
            c = alphabet[random() % alphabet.size()];
        ASSERT_EQ(StripTags(text), StripTagsReference(text)) << text;
    }
}

TEST(Text, DecodeEntities) {
    // fuzz_text decodes what HtmlEscape writes; these are the references it never writes.
    EXPECT_EQ(DecodeEntities("it&apos;s caf&#233; &#xE9; &#XE9; &#x1F600; 5&nbsp;mg"),
              "it's caf\xC3\xA9 \xC3\xA9 \xC3\xA9 \xF0\x9F\x98\x80 5\xC2\xA0mg");
    for (const char* invalid : {"&#0;", "&#xD800;", "&#1114112;", "&#99999999999999;"})
        EXPECT_EQ(DecodeEntities(invalid), "\xEF\xBF\xBD") << invalid;
    for (const char* kept : {"&copy;", "&amp", "&#;", "&#x;", "&AMP;"})
        EXPECT_EQ(DecodeEntities(kept), kept);
}

TEST(Text, ReduceToAsciiSpellsNamesDosesAndSymbols) {
    // One example of each way a character comes to its spelling.
    const std::pair<const char*, const char*> cases[] = {
        // Marks go, composed or not; letters spelled by their name or by hand.
        {"Herna\u0301ndez Søren Łódź Đorđević Straße Ærøskøbing œdème Þórður Diyarbakır",
         "Hernandez Soren Lodz Dordevic Strasse AEroskobing oedeme Thordur Diyarbakir"},
        // Greek letters are named; micro before a unit letter is u, elsewhere mu.
        {"β-blocker, ΔCt, ά ϑ 𝛃, 5 μg/kg, 10 µL, 1 ㎍", "beta-blocker, DeltaCt, alpha theta beta, "
                                                        "5 ug/kg, 10 uL, 1 ug"},
        {"μ-opioid μ = 2 Eμ μ1 μ", "mu-opioid mu = 2 Emu mu1 mu"},
        // Negated comparisons keep the negation; a spelling holds inside a decomposition.
        {"≥65 ≠ 1 ≮ 37 °C, 37℃", ">=65 != 1 !< 37 degC, 37degC"},
        // Spaces of every width are spaces; invisible ones go.
        {"5\u00A0mg 6\u2009mg 7\u202Fmg a\u200Bb so\u00ADfa", "5 mg 6 mg 7 mg ab sofa"},
        // Superscripts and fractions: set apart after a digit, plain elsewhere.
        {"×10⁹/L 2.5×10⁻³ kg/m² Ca²⁺ CO₂ ³H", "x10^9/L 2.5x10^-3 kg/m2 Ca2+ CO2 3H"},
        {"1½ h, ½ dose", "1 1/2 h, 1/2 dose"},
        // Compatibility forms: ligatures, circled, full-width, other digits, math letters.
        {"ﬁbrosis ① ⓐ ＡＢ１ ٣٤ 𝐀𝟏 ℓ", "fibrosis (1) (a) AB1 34 A1 l"},
        // The angstrom: a unit alone, a letter in a name.
        {"2.8 Å resolution, 3 Å. Åsa Ångström", "2.8 Angstrom resolution, 3 Angstrom. Asa "
                                                "Angstrom"},
    };
    for (const auto& [in, expected] : cases)
        EXPECT_EQ(ReduceToAscii(in), expected) << in;
}

TEST(Text, ReduceToAsciiDropsWhatHasNoSpelling) {
    const struct {
        const char *in, *out, *why;
    } cases[] = {
        {"x\xF0\x9F\x98\x80y \xD0\x96 \xE2\x80\xA0", "xy  ",
         "an emoji, a Cyrillic letter, a dagger"},
        {"\xC3\xC3\xA9", "e", "a cut-off character does not take the next one"},
        {"\xC0\x80z\xFFw\xED\xA0\x80v\xF4\x90\x80\x80u", "zwvu",
         "overlong forms, surrogates and code points past U+10FFFF"},
        {"5 \xCE\xBC", "5 mu", "a micro sign at the very end"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReduceToAscii(c.in), c.out) << c.why;
}

// Every Latin letter that Unicode composes of an ASCII letter and marks keeps that letter
// (ṩ is s with two marks, ǖ is ü with a macron), and the plain and mathematical forms
// of ASCII letters and digits are those letters and digits, in all planes.
TEST(Text, ReduceToAsciiAgreesWithUnicodeData) {
    const test::UnicodeData data(TAMIX_UNICODE_DATA);
    std::string utf8;
    int letters = 0, forms = 0;
    for (const auto& [cp, c] : data.All()) {
        char expected = data.BaseLetter(cp);
        if (expected != 0 && c.name.rfind("LATIN ", 0) == 0) {
            ++letters;
        } else if ((c.tag == "<font>" || c.tag == "<wide>") && c.parts.size() == 1 &&
                   c.parts[0] < 0x80 && std::isalnum(static_cast<int>(c.parts[0]))) {
            expected = static_cast<char>(c.parts[0]);
            ++forms;
        } else {
            continue;
        }
        utf8.clear();
        AppendUtf8(utf8, cp);
        EXPECT_EQ(ReduceToAscii("x" + utf8 + "y"), std::string("x") + expected + "y") << c.name;
    }
    EXPECT_GT(letters, 450);
    EXPECT_GT(forms, 750);
}

TEST(Text, TruncateUtf8KeepsCharactersWhole) {
    EXPECT_EQ(TruncateUtf8("a\xC3\xA9", 2), "a");
    EXPECT_EQ(TruncateUtf8("\xE4\xB8\xAD\xE4\xB8\xAD", 5), "\xE4\xB8\xAD");
}

// fuzz_text proves that both escape what they must and decode back; these, that they
// escape nothing more and write a space as asked.
TEST(Text, EncodersEscapeNoMoreThanTheyMust) {
    EXPECT_EQ(EncodeAddressText("a b+c/d?e=f:g", "+"), "a+b+c/d?e=f:g");
    EXPECT_EQ(EncodeQueryValue("AZaz09-._~ x+/", "+"), "AZaz09-._~+x%2B%2F");
}

} // namespace
} // namespace tamix
