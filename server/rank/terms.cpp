#include "server/rank/terms.h"

#include <algorithm>
#include <unordered_map>

namespace tamix::server {

namespace {

// The index's markers, U+E000..U+E00F, start with these bytes in UTF-8.
bool HoldsMarker(std::string_view term) {
    for (std::size_t at = term.find("\xEE\x80"); at != std::string_view::npos;
         at = term.find("\xEE\x80", at + 1))
        if (at + 2 < term.size() && (static_cast<unsigned char>(term[at + 2]) & 0xF0) == 0x80)
            return true;
    return false;
}

} // namespace

std::vector<TermFrequency> RecordTerms(Tokenizer& tokenizer, std::string_view title,
                                       std::string_view abstract, std::string_view authors,
                                       std::string_view mesh, std::string_view keywords) {
    // Doubled weights: title 3, abstract 1, headings and keywords 1.5, authors 0.
    const std::pair<std::string_view, std::uint32_t> fields[] = {
        {title, 6}, {abstract, 2}, {authors, 0}, {mesh, 3}, {keywords, 3}};
    std::unordered_map<std::string, std::uint32_t> found;
    for (const auto& [text, weight] : fields) {
        tokenizer.ForEachTerm(text, [&, weight = weight](std::string_view term) {
            if (HoldsMarker(term)) return;
            found[std::string(term)] += weight;
        });
    }
    std::vector<TermFrequency> terms;
    terms.reserve(found.size());
    for (auto& [term, f2] : found)
        terms.push_back({term, f2});
    std::sort(terms.begin(), terms.end(),
              [](const TermFrequency& x, const TermFrequency& y) { return x.term < y.term; });
    return terms;
}

} // namespace tamix::server
