// The address rules and their reading back: a search and a result page composed from any
// keywords, page number and order read back as those keywords, that page and that order,
// and every address is printable ASCII without spaces.
#include "check.h"

#include "pubmed/addresses.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>

using namespace tamix;

namespace {

// The page field is read only when it has at most this many digits.
constexpr int kMaxReadPage = 9999999;

// '+' stands for a space in a query value, so a typed '+' reads back as a space.
std::string AsReadBack(std::string keywords) {
    std::replace(keywords.begin(), keywords.end(), '+', ' ');
    return keywords;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Any text as the address the view reports.
    if (const auto any = ParseResultPageAddress(fuzz::Bytes(data, size)))
        FUZZ_CHECK(any->page >= 1 && any->page <= kMaxReadPage);

    FuzzedDataProvider input(data, size);
    const int page = input.ConsumeIntegral<int>();
    const std::string sort = input.ConsumeRandomLengthString(24);
    const std::string keywords = input.ConsumeRemainingBytesAsString();

    const std::string search = MakeSearchAddress(keywords);
    FUZZ_CHECK(fuzz::IsAddressText(search));
    const auto first = ParseResultPageAddress(search);
    FUZZ_CHECK(first.has_value());
    FUZZ_CHECK(first->keywords == AsReadBack(keywords));
    FUZZ_CHECK(first->page == 1);

    const std::string result = MakeResultPageAddress(keywords, page);
    FUZZ_CHECK(fuzz::IsAddressText(result));
    const auto paged = ParseResultPageAddress(result);
    FUZZ_CHECK(paged.has_value());
    FUZZ_CHECK(paged->keywords == AsReadBack(keywords));
    FUZZ_CHECK(paged->page == (page >= 1 && page <= kMaxReadPage ? page : 1));
    FUZZ_CHECK(paged->sort.empty());

    // The order follows the page; an empty one is no order at all.
    const std::string sorted = MakeResultPageAddress(keywords, page, sort);
    FUZZ_CHECK(fuzz::IsAddressText(sorted));
    FUZZ_CHECK(sort.empty() == (sorted == result));
    const auto ordered = ParseResultPageAddress(sorted);
    FUZZ_CHECK(ordered.has_value());
    FUZZ_CHECK(ordered->keywords == paged->keywords && ordered->page == paged->page);
    FUZZ_CHECK(ordered->sort == AsReadBack(sort));

    const std::string article = MakeArticleAddress(keywords);
    FUZZ_CHECK(fuzz::IsAddressText(article));
    FUZZ_CHECK(article.find_first_of("#&", article.find("/m/pubmed/")) == std::string::npos);
    FUZZ_CHECK(fuzz::PercentDecode(article.substr(article.find("/m/pubmed/") + 10), false) ==
               keywords);

    const std::string translate = MakeTranslateAddress(keywords);
    FUZZ_CHECK(fuzz::IsAddressText(translate));
    return 0;
}
