#include "pubmed/text.h"

#include <gtest/gtest.h>

#include <random>

namespace tamix {
namespace {

TEST(Text, FindClampsItsStart) {
    EXPECT_EQ(Find("abcabc", "c", 0), 2);
    EXPECT_EQ(Find("abcabc", "c", 3), 5);
    EXPECT_EQ(Find("abcabc", "c", 6), -1);
    EXPECT_EQ(Find("abcabc", "c", -1), -1);
    EXPECT_EQ(Find("abcabc", "c", 7), -1);
    EXPECT_EQ(Find("abcabc", "", 6), 6);
    EXPECT_EQ(Find("abcabc", "", 7), -1);
    EXPECT_EQ(Find("Page", "page", 0), -1) << "case matters";
}

TEST(Text, SubstringClampsStartAndLength) {
    EXPECT_EQ(Substring("hello", 1, 3), "ell");
    EXPECT_EQ(Substring("hello", -3, 2), "he") << "a negative start counts as 0, length kept";
    EXPECT_EQ(Substring("hello", -1, 10), "hello");
    EXPECT_EQ(Substring("hello", 2, -1), "");
    EXPECT_EQ(Substring("hello", 3, 100), "lo");
    EXPECT_EQ(Substring("hello", 5, 3), "");
    EXPECT_EQ(Substring("hello", 6, 1), "");
}

// The byte-by-byte rule, written as plainly as possible, as the oracle for the fast one.
std::string StripTagsReference(const std::string& text) {
    std::string out;
    bool outside = true;
    for (char c : text) {
        if (c == '<') {
            out.push_back(' ');
            outside = false;
        } else if (c == '>') {
            outside = true;
        } else if (outside) {
            out.push_back(c);
        }
    }
    return out;
}

TEST(Text, StripTagsMakesEachTagOneSpace) {
    EXPECT_EQ(StripTags("a<b>c</b>d"), "a c d");
    EXPECT_EQ(StripTags("x>y"), "xy");
    EXPECT_EQ(StripTags("p<q"), "p ");
    EXPECT_EQ(StripTags("<A href=\"x\"><SPAN>Heart <B>failure</B></SPAN>"), "  Heart  failure  ");
    EXPECT_EQ(StripTags("<a<b>c"), "  c") << "every '<' writes a space, even inside a tag";
    EXPECT_EQ(StripTags(""), "");
    EXPECT_EQ(StripTags(std::string("a\0b<i>c", 7)), std::string("a\0b c", 5));

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

TEST(Text, ReduceToAsciiDropsWholeCharacters) {
    EXPECT_EQ(ReduceToAscii("caf\xC3\xA9"), "caf");
    EXPECT_EQ(ReduceToAscii("a\xE4\xB8\xAD"
                            "b"),
              "ab")
        << "the letter after a 3-byte character stays";
    EXPECT_EQ(ReduceToAscii("x\xF0\x9F\x98\x80y"), "xy");
    EXPECT_EQ(ReduceToAscii("\x80x\xBFy"), "xy") << "stray continuation bytes go alone";
    EXPECT_EQ(ReduceToAscii("\xE4"
                            "A"),
              "A")
        << "a cut-off character does not take the next letter";
    EXPECT_EQ(ReduceToAscii("\xC0\x80z\xFF"
                            "w"),
              "zw");
    EXPECT_EQ(ReduceToAscii("5\xC2\xA0mg"), "5 mg");
    EXPECT_EQ(ReduceToAscii("tail\xE4\xB8"), "tail");
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
}

} // namespace
} // namespace tamix
