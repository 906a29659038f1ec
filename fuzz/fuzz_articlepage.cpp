// The abstract and full-text link cut out of an article page. The input is the item's
// id on a first line of its own (as the result page gave it), then the page.
#include "check.h"

#include "pubmed/articlepage.h"

using namespace tamix;

namespace {

// An id line longer than this is taken as part of the page, with no id.
constexpr std::size_t kMaxIdLine = 16;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view page = fuzz::Bytes(data, size);
    std::string_view id;
    const std::size_t newline = page.find('\n');
    if (newline <= kMaxIdLine) {
        id = page.substr(0, newline);
        page.remove_prefix(newline + 1);
    }

    const ArticleText text = ExtractArticle(page, id);
    // One line of ASCII.
    FUZZ_CHECK(fuzz::IsAscii(text.abstract));
    FUZZ_CHECK(text.abstract.find_first_of("\r\n") == std::string::npos);
    // A web address or the fixed text, nothing else.
    FUZZ_CHECK(text.link == kNoFullTextLink || text.link.find("http:") != std::string::npos ||
               text.link.find("https:") != std::string::npos);
    return 0;
}
