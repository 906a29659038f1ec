#include "pubmed/addresses.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace tamix {
namespace {

class Addresses : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv(kPubmedHostVariable);
        unsetenv(kTranslateHostVariable);
    }
    void TearDown() override { SetUp(); }
};

TEST_F(Addresses, HostsAreFixedUnlessTheEnvironmentNamesOthers) {
    EXPECT_EQ(MakeArticleAddress("00012345"), "http://127.0.0.1:8790/m/pubmed/00012345");
    setenv(kPubmedHostVariable, "127.0.0.1:4242", 1);
    setenv(kTranslateHostVariable, "127.0.0.1:4343", 1);
    EXPECT_EQ(MakeSearchAddress("x"), "http://127.0.0.1:4242/m/pubmed/?term=x");
    EXPECT_EQ(MakeTranslateAddress("x").rfind("http://127.0.0.1:4343/", 0), 0u);
    setenv(kPubmedHostVariable, "", 1);
    EXPECT_EQ(PubmedHost(), "127.0.0.1:8790") << "an empty variable is no host";
}

TEST_F(Addresses, SearchAddressWritesSpacesAsPlus) {
    const std::string base = "http://127.0.0.1:8790/m/pubmed/?term=";
    EXPECT_EQ(MakeSearchAddress("breast cancer  therapy"), base + "breast+cancer++therapy");
    EXPECT_EQ(MakeSearchAddress(""), base);
    EXPECT_EQ(MakeSearchAddress("a b"), MakeSearchAddress("a+b"));
    EXPECT_EQ(MakeSearchAddress(" a "), base + "+a+");
    EXPECT_EQ(MakeSearchAddress("a&b"), base + "a%26b") << "no second query field";
    EXPECT_EQ(MakeSearchAddress("50%"), base + "50%25");
    EXPECT_EQ(MakeSearchAddress("\"heart failure\"[ti] #1"), base + "%22heart+failure%22[ti]+%231");
    EXPECT_EQ(MakeSearchAddress("M\xC3\xBCller"), base + "M%C3%BCller");
}

TEST_F(Addresses, ResultPageAddressWritesSpacesAsPercent20) {
    EXPECT_EQ(MakeResultPageAddress("heart failure", 2),
              "http://127.0.0.1:8790/m/pubmed/?term=heart%20failure&page=2");
    EXPECT_EQ(MakeResultPageAddress("a+b&c", 1000),
              "http://127.0.0.1:8790/m/pubmed/?term=a+b%26c&page=1000");
}

TEST_F(Addresses, ArticleAndTranslateAddresses) {
    EXPECT_EQ(MakeArticleAddress("1234 67#"), "http://127.0.0.1:8790/m/pubmed/1234%2067%23");
    EXPECT_EQ(MakeTranslateAddress("Abstract A&B #1 50% a+b"),
              "http://127.0.0.1:8790/public/2.0/bmt/translate?client_id=Qx7TmWb2PaLk9RcVz4NsJd6E"
              "&q=Abstract%20A%26B%20%231%2050%25%20a%2Bb&from=en&to=zh");
    EXPECT_EQ(MakeTranslateAddress(""),
              "http://127.0.0.1:8790/public/2.0/bmt/translate?client_id=Qx7TmWb2PaLk9RcVz4NsJd6E"
              "&q=&from=en&to=zh");
}

} // namespace
} // namespace tamix

namespace tamix {
namespace {

TEST_F(Addresses, ResultPageAddressGivesItsTermsAndPage) {
    const auto parsed = [](const std::string& address) { return ParseResultPageAddress(address); };
    auto q = parsed("http://127.0.0.1:8790/m/pubmed/?term=heart+failure%26x&page=3");
    ASSERT_TRUE(q.has_value());
    EXPECT_EQ(q->keywords, "heart failure&x");
    EXPECT_EQ(q->page, 3);
    q = parsed(MakeSearchAddress("M\xC3\xBCller  50%"));
    ASSERT_TRUE(q.has_value());
    EXPECT_EQ(q->keywords, "M\xC3\xBCller  50%") << "what the program sends comes back as typed";
    EXPECT_EQ(q->page, 1);
    EXPECT_EQ(parsed(MakeResultPageAddress("a b", 7))->page, 7);
    EXPECT_EQ(parsed("http://127.0.0.1:8790/m/pubmed/?term=x&page=abc")->page, 1);
    EXPECT_EQ(parsed("http://127.0.0.1:8790/m/pubmed/?term=50%")->keywords, "50%");
    EXPECT_FALSE(parsed("http://127.0.0.1:8790/m/pubmed/00012345").has_value());
    EXPECT_FALSE(parsed("http://127.0.0.1:8790/m/pubmed/?page=2").has_value());
    EXPECT_FALSE(parsed("http://example.org/m/pubmed/?term=x").has_value()) << "another host";
}

// The dialog pages in the order of the page it was opened on: the order goes through the
// parse and back into the address of every page it fetches; no order, no change.
TEST_F(Addresses, ResultPageAddressKeepsItsOrder) {
    EXPECT_EQ(MakeResultPageAddress("heart failure", 2, ""),
              "http://127.0.0.1:8790/m/pubmed/?term=heart%20failure&page=2");
    EXPECT_EQ(MakeResultPageAddress("heart failure", 2, "relevance"),
              "http://127.0.0.1:8790/m/pubmed/?term=heart%20failure&page=2&sort=relevance");
    EXPECT_EQ(MakeResultPageAddress("x", 1, "a&b c"),
              "http://127.0.0.1:8790/m/pubmed/?term=x&page=1&sort=a%26b%20c");

    // As the server's pager writes it (the form's own search puts sort before page).
    auto q = ParseResultPageAddress(
        "http://127.0.0.1:8790/m/pubmed/?term=heart+failure&page=3&sort=relevance");
    ASSERT_TRUE(q.has_value());
    EXPECT_EQ(q->keywords, "heart failure");
    EXPECT_EQ(q->page, 3);
    EXPECT_EQ(q->sort, "relevance");
    q = ParseResultPageAddress("http://127.0.0.1:8790/m/pubmed/?term=a&sort=author");
    ASSERT_TRUE(q.has_value());
    EXPECT_EQ(q->sort, "author");
    EXPECT_EQ(q->page, 1);
    EXPECT_EQ(MakeResultPageAddress(q->keywords, q->page + 1, q->sort),
              "http://127.0.0.1:8790/m/pubmed/?term=a&page=2&sort=author");
    q = ParseResultPageAddress(MakeSearchAddress("a b"));
    ASSERT_TRUE(q.has_value());
    EXPECT_EQ(q->sort, "") << "a page that names no order keeps the default";
    EXPECT_EQ(MakeResultPageAddress(q->keywords, 2, q->sort), MakeResultPageAddress("a b", 2));
}

} // namespace
} // namespace tamix
