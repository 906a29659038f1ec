// Best Match (rank/bm25.h) inside FTS5, for the searches the ranking engine does not
// evaluate by itself (phrases of several words, fields, prefixes): an auxiliary function of
// our own that scores each match exactly as the engine would.
//
// FTS5's own phrase data for a row cannot be trusted under AND: an AND that stands at a
// row where one of its parts does not match there (a word outside the column searched, the
// words of a phrase apart) clears the position lists of everything below it, also of the
// parts that stand at later rows, and they stay cleared when FTS5 moves on to those rows.
// So the search is given to FTS5 as "(search) AND (part OR part ...)", every part of it
// once more in an OR that no AND stands above, and the function reads the copies.
#pragma once

#include "server/index/index.h"
#include "server/rank/bm25.h"

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tamix::server {

// FTS5 columns of the index, in order.
enum RankColumn { kTitle, kAbstract, kAuthors, kMesh, kKeywords, kAffiliations, kTags, kColumns };

// What one occurrence in each column adds to f2 (see Bm25); 0: not ranked.
inline constexpr std::uint32_t kColumnF2[kColumns] = {6, 2, 0, 3, 3, 0, 0};

// What FTS5 is given for a search, and the plan the function reads it with.
struct ScoringQuery {
    std::string match;
    std::string plan;
};
// weights: Best Match's weight of each of the search's phrases (PhraseWeights).
ScoringQuery MakeScoringQuery(const Search& search, const std::vector<double>& weights);

// Registers tamix_rank(article_fts, plan, averageLength, top) on the connection: offers the
// record to top (a TopMatches bound as a pointer of kPointerType) with its score, and gives
// 1, so that in a WHERE clause matches are scored without becoming rows. Throws
// SqliteError when FTS5 is missing.
void RegisterRankFunction(sqlite3* db);

} // namespace tamix::server
