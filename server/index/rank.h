// Best Match: BM25 over the words of title, abstract, MeSH headings and keywords, the
// title weighted highest, computed by an FTS5 auxiliary function of our own.
//
// FTS5's own bm25() reads each matched record's length from its %_docsize table, a
// B-tree lookup per record that costs seven times the rest of the ranking. Here each
// record's length is kept, in 64 logarithmic classes, in the low bits of its rowid (as
// Lucene keeps a length in one byte), where ranking reads it for nothing.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <vector>

namespace tamix::server {

// FTS5 columns of the index, in order.
enum RankColumn { kTitle, kAbstract, kAuthors, kMesh, kKeywords, kAffiliations, kTags, kColumns };

// How much a word counts in each column; 0: not ranked.
inline constexpr double kColumnWeight[kColumns] = {3.0, 1.0, 0.0, 1.5, 1.5, 0.0, 0.0};
inline constexpr double kBm25K1 = 1.2;
inline constexpr double kBm25B = 0.75;

// Rowids hold (sort key * kLengthClasses + class).
inline constexpr int kLengthClasses = 64;
// The class of a record of that many ranked words, and the length a class stands for.
int LengthClass(std::int64_t words);
double ClassLength(int lengthClass);

// The BM25 term weight of a phrase found in df of n records (never below 0).
double InverseDocumentFrequency(std::int64_t n, std::int64_t df);

// The limit best of the records offered: higher scores first, equal scores newest first
// (lower rowid).
class TopMatches {
public:
    explicit TopMatches(int limit) : limit_(limit > 0 ? static_cast<std::size_t>(limit) : 0) {}
    void Offer(double score, std::int64_t id);
    // Best first; empties the collection.
    std::vector<std::int64_t> Take();

    static constexpr const char* kPointerType = "tamix_top_matches";

private:
    struct Scored {
        double score;
        std::int64_t id;
    };
    static bool Better(const Scored& x, const Scored& y) {
        return x.score > y.score || (x.score == y.score && x.id < y.id);
    }
    std::size_t limit_;
    std::vector<Scored> heap_; // the worst kept on top
};

// Registers tamix_rank(article_fts, idfs, averageLength[, top]) on the connection: the
// record's score, higher first. idfs lists, separated by spaces, each phrase's weight
// in the order of the MATCH expression; a phrase of weight 0 (or past the list) does not
// count. With top (a TopMatches bound as a pointer of kPointerType) the record is offered
// to it and the function gives 1: in a WHERE clause, under a LIMIT that ends the scan,
// matches are scored without becoming result rows. Throws SqliteError when FTS5 is
// missing.
void RegisterRankFunction(sqlite3* db);

} // namespace tamix::server
