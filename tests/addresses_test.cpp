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

// fuzz_addresses reads back whatever these compose; here, the form they are written in.
TEST_F(Addresses, SearchArticleAndTranslateAddresses) {
    EXPECT_EQ(MakeSearchAddress("breast cancer  therapy"),
              "http://127.0.0.1:8790/m/pubmed/?term=breast+cancer++therapy");
    EXPECT_EQ(MakeTranslateAddress("A&B 1"),
              "http://127.0.0.1:8790/public/2.0/bmt/translate?client_id=Qx7TmWb2PaLk9RcVz4NsJd6E"
              "&q=A%26B%201&from=en&to=zh");
    EXPECT_EQ(MakeResultPageAddress("heart failure", 2, "relevance"),
              "http://127.0.0.1:8790/m/pubmed/?term=heart%20failure&page=2&sort=relevance");
}

// The dialog pages through what the address of the page it was opened on names: its
// terms, its page and its order. fuzz_addresses reads back the order after the page, as
// the server's pager writes it; the form's own search puts it first.
TEST_F(Addresses, ResultPageAddressGivesItsTermsPageAndOrder) {
    const std::string at = "http://127.0.0.1:8790/m/pubmed/?";
    const auto q = ParseResultPageAddress(at + "term=a&sort=author&page=2").value();
    EXPECT_EQ(q.keywords, "a");
    EXPECT_EQ(q.sort, "author");
    EXPECT_EQ(q.page, 2);
    EXPECT_EQ(ParseResultPageAddress(at + "term=50%").value().keywords, "50%");
    for (const char* notAList :
         {"http://127.0.0.1:8790/m/pubmed/00012345", "http://127.0.0.1:8790/m/pubmed/?page=2"})
        EXPECT_FALSE(ParseResultPageAddress(notAList).has_value()) << notAList;
}

} // namespace
} // namespace tamix
