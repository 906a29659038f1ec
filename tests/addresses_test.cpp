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
}

TEST_F(Addresses, ArticleAndTranslateAddresses) {
    EXPECT_EQ(MakeArticleAddress("1234 67#"), "http://127.0.0.1:8790/m/pubmed/1234%2067%23");
    EXPECT_EQ(MakeTranslateAddress("Abstract A&B #1 50% a+b"),
              "http://127.0.0.1:8790/public/2.0/bmt/translate?client_id=Qx7TmWb2PaLk9RcVz4NsJd6E"
              "&q=Abstract%20A%26B%20%231%2050%25%20a%2Bb&from=en&to=zh");
}

// The dialog pages through what the address of the page it was opened on names: its
// terms, its page and its order, whichever of page and order comes first.
TEST_F(Addresses, ResultPageAddressGivesItsTermsPageAndOrder) {
    struct Case {
        const char* address;
        const char *keywords, *sort;
        int page;
    };
    const std::string at = "http://127.0.0.1:8790/m/pubmed/?";
    for (const Case& c : {
             Case{"term=heart+failure%26x&page=3", "heart failure&x", "", 3},
             Case{"term=x&page=abc", "x", "", 1},
             Case{"term=50%", "50%", "", 1},
             // As the server's pager writes it; the form's own search puts sort first.
             Case{"term=heart+failure&page=3&sort=relevance", "heart failure", "relevance", 3},
             Case{"term=a&sort=author&page=2", "a", "author", 2},
             Case{"term=a&sort=author", "a", "author", 1},
         }) {
        const auto q = ParseResultPageAddress(at + c.address);
        ASSERT_TRUE(q.has_value()) << c.address;
        EXPECT_EQ(q->keywords, c.keywords) << c.address;
        EXPECT_EQ(q->page, c.page) << c.address;
        EXPECT_EQ(q->sort, c.sort) << c.address;
    }
    for (const char* notAList : {"http://127.0.0.1:8790/m/pubmed/00012345",
                                 "http://127.0.0.1:8790/m/pubmed/?page=2",
                                 "http://example.org/m/pubmed/?term=x"})
        EXPECT_FALSE(ParseResultPageAddress(notAList).has_value()) << notAList;

    // The order goes back into the address of every page the dialog fetches.
    EXPECT_EQ(MakeResultPageAddress("heart failure", 2, ""),
              "http://127.0.0.1:8790/m/pubmed/?term=heart%20failure&page=2");
    EXPECT_EQ(MakeResultPageAddress("heart failure", 2, "relevance"),
              "http://127.0.0.1:8790/m/pubmed/?term=heart%20failure&page=2&sort=relevance");
    EXPECT_EQ(MakeResultPageAddress("x", 1, "a&b c"),
              "http://127.0.0.1:8790/m/pubmed/?term=x&page=1&sort=a%26b%20c");
}

} // namespace
} // namespace tamix
