// What the ranking engine keeps of a record: each term of its title, abstract, authors,
// MeSH headings and keywords once, with its weighted frequency in the ranked fields.
#pragma once

#include "server/rank/postings.h"
#include "server/rank/tokenizer.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tamix::server {

struct TermFrequency {
    std::string term;
    // 2 (3 title + abstract + 1.5 (MeSH + keywords)) occurrences: 0 for a word found in the
    // author list alone, which a search of all fields finds but Best Match does not count.
    std::uint32_t f2 = 0;
    bool operator==(const TermFrequency& other) const {
        return term == other.term && f2 == other.f2;
    }
};

// The texts as the full-text index's columns hold them (IndexedText); each term once, in
// the order first met.
// Tokens holding the index's markers (the boundary between two headings) are no words
// anyone searches for and are left out.
std::vector<TermFrequency> RecordTerms(Tokenizer& tokenizer, std::string_view title,
                                       std::string_view abstract, std::string_view authors,
                                       std::string_view mesh, std::string_view keywords);
// The same as EncodeTerms writes them, made at once. tokens, when given, gets the
// fields' tokens as the full-text index takes them (TokenReplay): for each field in the
// order above, the number of its tokens, then each token in turn as its number among the
// terms returned (0 the first), or past them, among the tokens left out as no words (their
// count, then each one's length and bytes, follow the last field); all of them varints.
// It is left empty when some token shares its place with another (FTS5's colocated
// tokens, which that does not tell).
std::string EncodedRecordTerms(Tokenizer& tokenizer, std::string_view title,
                               std::string_view abstract, std::string_view authors,
                               std::string_view mesh, std::string_view keywords,
                               std::string* tokens = nullptr);

// Each term's length and bytes, then its f2, as varints (postings.h): what a record's
// terms take on their way from the reading thread to the writer.
std::string EncodeTerms(const std::vector<TermFrequency>& terms);

// Calls each(term, f2) over terms as EncodeTerms writes them; false when the bytes are not
// such.
template <typename Each> bool ForEachEncodedTerm(std::string_view bytes, Each each) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::uint64_t length = 0, f2 = 0;
        if (!GetVarint(bytes, pos, length) || length > bytes.size() - pos) return false;
        const std::string_view term = bytes.substr(pos, length);
        pos += length;
        if (!GetVarint(bytes, pos, f2) || f2 > 0xFFFFFFFFu) return false;
        each(term, static_cast<std::uint32_t>(f2));
    }
    return true;
}

} // namespace tamix::server
