#include "pubmed/text.h"
#include "support/unicode_data.h"

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <utility>

namespace tamix {
namespace {

TEST(Text, FindAndSubstringClampTheirArguments) {
    const std::pair<Pos, Pos> finds[] = {{0, 2}, {3, 5}, {6, -1}, {-1, -1}, {7, -1}};
    for (const auto& [from, found] : finds)
        EXPECT_EQ(Find("abcabc", "c", from), found) << from;
    EXPECT_EQ(Find("abcabc", "", 6), 6);
    EXPECT_EQ(Find("abcabc", "", 7), -1);
    EXPECT_EQ(Find("Page", "page", 0), -1) << "case matters";

    const struct {
        Pos start, length;
        const char* part;
    } parts[] = {{1, 3, "ell"},  {-3, 2, "he"}, {-1, 10, "hello"}, {2, -1, ""},
                 {3, 100, "lo"}, {5, 3, ""},    {6, 1, ""}};
    for (const auto& p : parts)
        EXPECT_EQ(Substring("hello", p.start, p.length), p.part) << p.start << "," << p.length;
}

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
    EXPECT_EQ(StripTags("a<b>c</b>d"), "a c d");
    EXPECT_EQ(StripTags("<a<b>c"), "  c") << "every '<' writes a space, even inside a tag";
    EXPECT_EQ(StripTags(std::string("a\0b<i>c", 7)), std::string("a\0b c", 5));
    // Unclosed tags, stray '>', runs of both and bytes beyond ASCII, against the plain rule.
    std::mt19937 random(7);
    const std::string alphabet = "<>ab \xC3\xA9";
    for (int round = 0; round < 500; ++round) {
        std::string text(random() % 300, ' ');
        for (char& c : text)
            c = alphabet[random() % alphabet.size()];
        ASSERT_EQ(StripTags(text), StripTagsReference(text)) << text;
    }
}

TEST(Text, DecodeEntities) {
    EXPECT_EQ(DecodeEntities("a &amp; b &lt;i&gt; &quot;q&quot; it&#39;s &apos;"),
              "a & b <i> \"q\" it's '");
    EXPECT_EQ(DecodeEntities("&amp;lt;"), "&lt;") << "decoded once, not twice";
    EXPECT_EQ(DecodeEntities("caf&#233; &#xE9; &#XE9;"), "caf\xC3\xA9 \xC3\xA9 \xC3\xA9");
    EXPECT_EQ(DecodeEntities("&#x1F600;"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(DecodeEntities("5&nbsp;mg"), "5\xC2\xA0mg");
    for (const char* invalid : {"&#0;", "&#xD800;", "&#1114112;", "&#99999999999999;"})
        EXPECT_EQ(DecodeEntities(invalid), "\xEF\xBF\xBD") << invalid;
    for (const char* kept : {"&copy;", "&amp", "& x", "&#;", "&#x;", "&#12", "tail&", "&AMP;"})
        EXPECT_EQ(DecodeEntities(kept), kept);
}

TEST(Text, ReduceToAsciiSpellsNamesDosesAndSymbols) {
    const std::pair<const char*, const char*> cases[] = {
        // Letters lose their marks, composed or not; letters without a decomposition too.
        {"Hernández", "Hernandez"},
        {"Herna\u0301ndez", "Hernandez"},
        {"Søren Müller", "Soren Muller"},
        {"ŁÓDŹ Łódź Đorđević Ħaż Diyarbakır", "LODZ Lodz Dordevic Haz Diyarbakir"},
        {"Straße STRAẞE Ærøskøbing œdème Œuvre", "Strasse STRASSE AEroskobing oedeme OEuvre"},
        {"Þórður Guðmundsson", "Thordur Gudmundsson"},
        {"Ŀl·l ŉ", "Ll.l 'n"},
        // Greek letters are named; micro before a unit letter is u, elsewhere mu.
        {"β-blocker, TNF-α, IFN-γ, κ, λ, ς, ΔCt, Ω", "beta-blocker, TNF-alpha, IFN-gamma, kappa, "
                                                     "lambda, sigma, DeltaCt, Omega"},
        {"ά ΰ ϑ ϕ 𝛃", "alpha upsilon theta phi beta"},
        {"5 μg/kg", "5 ug/kg"},
        {"10 µL, 2 μmol/L, 3 μM, 4 μm, 5 μs, 1 µCi, 6 μIU/mL, 7 μGy, 8 μSv, 9 μV, 3 μA",
         "10 uL, 2 umol/L, 3 uM, 4 um, 5 us, 1 uCi, 6 uIU/mL, 7 uGy, 8 uSv, 9 uV, 3 uA"},
        {"μ-opioid μ = 2 Eμ μ", "mu-opioid mu = 2 Emu mu"},
        {"μ1 μβ μ", "mu1 mubeta mu"},
        {"1 ㎍ 2 ㎕ 3 ㎖", "1 ug 2 ul 3 ml"},
        // Comparisons and arithmetic; negated ones keep the negation.
        {"≥65 ≤0.05 ≠ 1 ≈7% ∼2 ≮ ≯ ≰", ">=65 <=0.05 != 1 ~7% ~2 !< !> !<="},
        {"71.2 ± 4.3", "71.2 +/- 4.3"},
        {"2 × 3 ÷ 4 ∓ 1", "2 x 3 / 4 -/+ 1"},
        {"ml·kg⋅min∙h•d", "ml.kg.min.h.d"},
        // Degrees, arrows, dashes, quotes, ellipsis, marks.
        {"37 °C, 37℃, 90°, 98.6 ℉", "37 degC, 37degC, 90deg, 98.6 degF"},
        {"A → B ← C ↔ D ⇒ E ↑", "A -> B <- C <-> D => E up"},
        {"1–2 — 3 − 4 ‐ 5", "1-2 - 3 - 4 - 5"},
        {"‘a’ “b” «c» 5′ 3″ …", "'a' \"b\" \"c\" 5' 3'' ..."},
        {"© ® ™ €1,200 £5", "(c) (R) TM EUR1,200 GBP5"},
        // Spaces of every width are spaces; invisible ones go.
        {"5\u00A0mg 6\u2009mg 7\u202Fmg 8\u2003mg a\u200Bb so\u00ADfa",
         "5 mg 6 mg 7 mg 8 mg ab sofa"},
        // Per mille, superscripts and fractions: set apart after a digit, plain elsewhere.
        {"5‰ ‰", "5 per mille per mille"},
        {"×10⁹/L 2.5×10⁻³ 10²", "x10^9/L 2.5x10^-3 10^2"},
        {"kg/m² Ca²⁺ CO₂ ³H", "kg/m2 Ca2+ CO2 3H"},
        {"1½ h, ½ dose, ¾", "1 1/2 h, 1/2 dose, 3/4"},
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
        {"a\xE4\xB8\xAD\x62", "ab", "the letter after a 3-byte character stays"},
        {"x\xF0\x9F\x98\x80y \xD0\x96 \xE2\x80\xA0", "xy  ",
         "an emoji, a Cyrillic letter, a dagger"},
        {"\x80x\xBFy", "xy", "stray continuation bytes go alone"},
        {"\344A", "A", "a cut-off character does not take the next letter"},
        {"\xC3\xC3\xA9", "e", "nor the next character"},
        {"\xC0\x80z\xFFw\xED\xA0\x80v\xF4\x90\x80\x80u", "zwvu",
         "overlong forms, surrogates and code points past U+10FFFF"},
        {"tail\xE4\xB8", "tail", "a character cut off at the end"},
        {"5 \xCE\xBC", "5 mu", "a micro sign at the very end"},
        {"\xC2\xB2\xC2\xBD", "21/2", "a superscript at the very start"},
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
    EXPECT_EQ(TruncateUtf8("a\xC3\xA9", 3), "a\xC3\xA9");
    EXPECT_EQ(TruncateUtf8("abcdef", 4), "abcd");
    EXPECT_EQ(TruncateUtf8("\xE4\xB8\xAD\xE4\xB8\xAD", 5), "\xE4\xB8\xAD");
}

TEST(Text, EncodeAddressTextEscapesOnlyWhatBreaksAnAddress) {
    EXPECT_EQ(EncodeAddressText("a b", "+"), "a+b");
    EXPECT_EQ(EncodeAddressText("a b", "%20"), "a%20b");
    EXPECT_EQ(EncodeAddressText("a+b/c?d=e:f", "+"), "a+b/c?d=e:f");
    EXPECT_EQ(EncodeAddressText("%&#\"<>\\", "+"), "%25%26%23%22%3C%3E%5C");
    EXPECT_EQ(EncodeAddressText(std::string("\t\n\0\x7F", 4), "+"), "%09%0A%00%7F");
    EXPECT_EQ(EncodeAddressText("caf\xC3\xA9", "+"), "caf%C3%A9");
}

TEST(Text, EncodeQueryValueKeepsOnlyUnreservedBytes) {
    EXPECT_EQ(EncodeQueryValue("a b&c#d%e+f=g/h"), "a%20b%26c%23d%25e%2Bf%3Dg%2Fh");
    EXPECT_EQ(EncodeQueryValue("AZaz09-._~"), "AZaz09-._~");
    EXPECT_EQ(EncodeQueryValue("\xE4\xB8\xAD"), "%E4%B8%AD");
    EXPECT_EQ(EncodeQueryValue("heart failure+x", "+"), "heart+failure%2Bx");
}

} // namespace
} // namespace tamix
