// Records of any contents rendered into every kind of page and read back by the browser's
// own readers, as served and in the browser's form: only result pages hold the marker, a
// result page reads back exactly its items and page count, an article page its abstract
// and full-text link.
//
// The input: a head, then records, separated by 0x1D; the head's fields and a record's by
// 0x1E, in this order:
//   head:   matches, page, an address given with --eutils (shown on the start page)
//   record: pmid, title, authors, journal, pubdate, abstract, doi, pmcid, volume, issue,
//           pages, MeSH headings, keywords, publication types
// List fields hold items separated by 0x1F; a heading's qualifiers follow its descriptor
// after 0x1C, and a '*' before a name makes it a major topic. Readers hand on no NUL, so
// NULs are dropped.
#include "check.h"

#include "tests/support/page_readback.h"

#include <algorithm>
#include <vector>

using namespace tamix;

namespace {

constexpr std::size_t kMaxRecords = 12;

std::vector<std::string> Split(std::string_view text, char separator) {
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(separator, start);
        parts.emplace_back(text.substr(start, end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

int Number(const std::string& text, int fallback, int most) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return fallback;
    return std::min(std::stoi(text), most);
}

server::Article Record(const std::vector<std::string>& f, std::size_t index) {
    const auto field = [&](std::size_t i) { return i < f.size() ? f[i] : std::string(); };
    server::Article a;
    a.pmid = Number(field(0), static_cast<int>(1000 + index), static_cast<int>(server::kMaxPmid));
    if (a.pmid < 1) a.pmid = 1;
    a.title = field(1);
    a.authors = field(2);
    a.journal = field(3);
    a.pubdate = field(4);
    a.abstract = field(5);
    a.doi = field(6);
    a.pmcid = field(7);
    a.volume = field(8);
    a.issue = field(9);
    a.pages = field(10);
    for (const std::string& item : Split(field(11), '\x1F')) {
        if (item.empty()) continue;
        const std::vector<std::string> names = Split(item, '\x1C');
        server::MeshHeading heading;
        heading.major = names[0].rfind('*', 0) == 0;
        heading.descriptor = names[0].substr(heading.major ? 1 : 0);
        for (std::size_t q = 1; q < names.size(); ++q) {
            const bool major = names[q].rfind('*', 0) == 0;
            heading.qualifiers.push_back({names[q].substr(major ? 1 : 0), major});
        }
        a.mesh.push_back(std::move(heading));
    }
    for (const std::string& item : Split(field(12), '\x1F'))
        if (!item.empty()) a.keywords.push_back(item);
    for (const std::string& item : Split(field(13), '\x1F'))
        if (!item.empty()) a.publicationTypes.push_back(item);
    return a;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string input(fuzz::Bytes(data, size));
    input.erase(std::remove(input.begin(), input.end(), '\0'), input.end());
    const std::vector<std::string> blocks = Split(input, '\x1D');
    const std::vector<std::string> head = Split(blocks[0], '\x1E');
    const int matches = Number(head[0], 0, server::kMaxCountedMatches);
    const int page = std::max(1, Number(head.size() > 1 ? head[1] : "", 1, 2000));
    const std::string eutils = head.size() > 2 ? head[2] : std::string();
    std::vector<server::Article> records;
    for (std::size_t i = 1; i < blocks.size() && records.size() < kMaxRecords; ++i)
        records.push_back(Record(Split(blocks[i], '\x1E'), records.size()));

    const std::string problems = test::CheckPagesReadBack(records, matches, page, eutils);
    if (!problems.empty()) std::fprintf(stderr, "%s", problems.c_str());
    FUZZ_CHECK(problems.empty());
    return 0;
}
