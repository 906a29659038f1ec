#include "pubmed/articlerecord.h"

#include <gtest/gtest.h>

namespace tamix {
namespace {

// Entries from to to of all four lists, each joined to the others.
std::string Entries(const CArticleRecord& r, int from, int to) {
    std::string joined;
    for (int i = from; i < to; ++i)
        joined += r.m_strIds[i] + r.m_strTitles[i] + r.m_strAbstracts[i] + r.m_strLinks[i];
    return joined;
}

CArticleRecord Filled() {
    CArticleRecord r;
    for (int i = 0; i < CArticleRecord::kSlots; ++i)
        r.m_strIds[i] = r.m_strTitles[i] = r.m_strAbstracts[i] = r.m_strLinks[i] = "x";
    r.m_nCount = 10;
    return r;
}

TEST(ArticleRecord, EmptyingRules) {
    CArticleRecord r = Filled();
    r.EmptyForNewPage();
    EXPECT_EQ(r.m_nCount, 0);
    EXPECT_EQ(Entries(r, 0, 10), "");
    EXPECT_EQ(Entries(r, 10, 11), "xxxx") << "a new page touches entries 0 to 9 only";

    r = Filled();
    r.EmptyAll();
    EXPECT_EQ(r.m_nCount, 0);
    EXPECT_EQ(Entries(r, 0, CArticleRecord::kSlots), "");
}

} // namespace
} // namespace tamix
