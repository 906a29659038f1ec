#include "pubmed/articlerecord.h"

#include <gtest/gtest.h>

namespace tamix {
namespace {

bool AllEmpty(const CArticleRecord::Slots& slots, int from, int to) {
    for (int i = from; i < to; ++i)
        if (!slots[i].empty()) return false;
    return true;
}

void Fill(CArticleRecord& r) {
    for (int i = 0; i < CArticleRecord::kSlots; ++i) {
        r.m_strIds[i] = r.m_strTitles[i] = r.m_strAbstracts[i] = r.m_strLinks[i] = "x";
    }
    r.m_nCount = 10;
    r.m_nCurrent = 4;
    r.m_nTotalPages = 9;
    r.m_nPage = 3;
    r.m_strKeyword = "heart failure";
}

TEST(ArticleRecord, EmptyingRules) {
    CArticleRecord r;
    EXPECT_EQ(r.m_nCount, 0);
    EXPECT_EQ(r.m_nCurrent, 0);
    for (const auto* slots : {&r.m_strIds, &r.m_strTitles, &r.m_strAbstracts, &r.m_strLinks})
        EXPECT_TRUE(AllEmpty(*slots, 0, CArticleRecord::kSlots));

    Fill(r);
    r.EmptyForNewPage();
    EXPECT_EQ(r.m_nCount, 0);
    for (const auto* slots : {&r.m_strIds, &r.m_strTitles, &r.m_strAbstracts, &r.m_strLinks}) {
        EXPECT_TRUE(AllEmpty(*slots, 0, 10));
        EXPECT_EQ((*slots)[10], "x") << "a new page touches entries 0 to 9 only";
    }
    EXPECT_EQ(r.m_nCurrent, 4);
    EXPECT_EQ(r.m_nTotalPages, 9);
    EXPECT_EQ(r.m_nPage, 3);
    EXPECT_EQ(r.m_strKeyword, "heart failure");

    Fill(r);
    r.EmptyAll();
    EXPECT_EQ(r.m_nCount, 0);
    for (const auto* slots : {&r.m_strIds, &r.m_strTitles, &r.m_strAbstracts, &r.m_strLinks})
        EXPECT_TRUE(AllEmpty(*slots, 0, CArticleRecord::kSlots));
}

} // namespace
} // namespace tamix
