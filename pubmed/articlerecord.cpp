#include "pubmed/articlerecord.h"

namespace tamix {

namespace {

void EmptyEntries(CArticleRecord& r, int count) {
    for (int i = 0; i < count; ++i) {
        r.m_strIds[i].clear();
        r.m_strTitles[i].clear();
        r.m_strAbstracts[i].clear();
        r.m_strLinks[i].clear();
    }
}

} // namespace

void CArticleRecord::EmptyForNewPage() {
    m_nCount = 0;
    EmptyEntries(*this, kItemsPerPage);
}

void CArticleRecord::EmptyAll() {
    m_nCount = 0;
    EmptyEntries(*this, kSlots);
}

} // namespace tamix
