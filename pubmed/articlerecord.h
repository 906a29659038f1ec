// Everything known about the one result page the article dialog lists. The dialog owns
// one; the parsers fill it, paging and Exit empty it by the rules below.
#pragma once

#include <array>
#include <string>

namespace tamix {

struct CArticleRecord {
    static constexpr int kItemsPerPage = 10;
    // Entries 10 to 19 are never filled, only emptied on Exit.
    static constexpr int kSlots = 20;
    using Slots = std::array<std::string, kSlots>;

    int m_nCount = 0;
    Slots m_strIds;
    Slots m_strTitles;
    Slots m_strAbstracts; // empty: not loaded yet
    Slots m_strLinks;
    // Set by whoever opens the dialog; one page, page 1 until then.
    int m_nTotalPages = 1;
    int m_nPage = 1;
    std::string m_strKeyword;
    int m_nCurrent = 0;

    // Before another result page is parsed in: the count and entries 0 to 9 go;
    // m_nCurrent, m_nTotalPages, m_nPage and m_strKeyword stay.
    void EmptyForNewPage();
    // Exit: the count and all 20 entries of the four lists go.
    void EmptyAll();
};

} // namespace tamix
