// Best Match (rank/bm25.h) inside FTS5: an auxiliary function of our own that scores the
// record FTS5 is at from its phrases' positions, for searches the ranking engine does not
// evaluate by itself (phrases, fields, tags) and for checking the engine.
//
// FTS5's own bm25() reads each matched record's length from its %_docsize table, a
// B-tree lookup per record; here the length class is read from the low bits of the rowid.
#pragma once

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

// Registers tamix_rank(article_fts, weights, averageLength[, top]) on the connection: the
// record's score, higher first. weights lists, separated by spaces, each phrase's weight
// in the order of the MATCH expression; a phrase of weight 0 (or past the list) does not
// count. With top (a TopMatches bound as a pointer of kPointerType) the record is offered
// to it and the function gives 1: in a WHERE clause, matches are scored without becoming
// result rows. Throws SqliteError when FTS5 is missing.
void RegisterRankFunction(sqlite3* db);

// The weights as tamix_rank reads them back exactly.
std::string WeightList(const std::vector<double>& weights);

} // namespace tamix::server
