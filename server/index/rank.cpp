#include "server/index/rank.h"

#include "server/index/sqlite.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace tamix::server {

namespace {

struct Weights {
    std::vector<double> weight;
    Bm25 bm25;
};

void FreeWeights(void* p) {
    delete static_cast<Weights*>(p);
}

// Parsed once per query: FTS5 keeps it with the query's cursor.
Weights* WeightsOf(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_value* list,
                   double average) {
    auto* weights = static_cast<Weights*>(api->xGetAuxdata(fts, 0));
    if (weights) return weights;
    weights = new Weights{{}, Bm25(average)};
    const char* text = reinterpret_cast<const char*>(sqlite3_value_text(list));
    for (char* end = nullptr; text && *text; text = end) {
        const double value = std::strtod(text, &end);
        if (end == text) break;
        weights->weight.push_back(std::isfinite(value) && value > 0 ? value : 0.0);
    }
    if (api->xSetAuxdata(fts, weights, &FreeWeights) != SQLITE_OK) return nullptr;
    return weights;
}

void Rank(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* out, int argc,
          sqlite3_value** argv) {
    if (argc != 2 && argc != 3) {
        sqlite3_result_error(out, "tamix_rank(article_fts, weights, averageLength[, top])", -1);
        return;
    }
    const Weights* weights = WeightsOf(api, fts, argv[0], sqlite3_value_double(argv[1]));
    if (!weights) {
        sqlite3_result_error_nomem(out);
        return;
    }
    const std::int64_t rowid = api->xRowid(fts);
    // Rowids are negated keys: the class is the low part of the key.
    const int lengthClass = static_cast<int>(-(rowid % kLengthClasses));
    const int phrases = std::min<int>(api->xPhraseCount(fts), weights->weight.size());
    // Summed phrase by phrase, as the engine sums its terms.
    double score = 0;
    for (int p = 0; p < phrases; ++p) {
        if (weights->weight[p] <= 0) continue;
        std::uint32_t f2 = 0;
        Fts5PhraseIter it;
        int column = 0, offset = 0;
        if (api->xPhraseFirst(fts, p, &it, &column, &offset) != SQLITE_OK) continue;
        for (; column >= 0; api->xPhraseNext(fts, &it, &column, &offset))
            if (column < kColumns) f2 += kColumnF2[column];
        if (f2 > 0) score += weights->weight[p] * weights->bm25.Impact(f2, lengthClass);
    }
    if (argc == 3) {
        auto* top =
            static_cast<TopMatches*>(sqlite3_value_pointer(argv[2], TopMatches::kPointerType));
        if (top) top->Offer(score, rowid);
        sqlite3_result_int(out, 1);
        return;
    }
    sqlite3_result_double(out, score);
}

} // namespace

std::string WeightList(const std::vector<double>& weights) {
    std::string list;
    for (const double weight : weights) {
        char number[40];
        std::snprintf(number, sizeof number, "%.17g ", weight);
        list += number;
    }
    return list;
}

void RegisterRankFunction(sqlite3* db) {
    fts5_api* api = nullptr;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT fts5(?1)", -1, &statement, nullptr) == SQLITE_OK) {
        sqlite3_bind_pointer(statement, 1, &api, "fts5_api_ptr", nullptr);
        sqlite3_step(statement);
    }
    sqlite3_finalize(statement);
    if (!api || api->iVersion < 2 ||
        api->xCreateFunction(api, "tamix_rank", nullptr, &Rank, nullptr) != SQLITE_OK)
        throw SqliteError("this SQLite has no FTS5 to rank with");
}

} // namespace tamix::server
