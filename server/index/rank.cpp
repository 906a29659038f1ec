#include "server/index/rank.h"

#include "server/index/sqlite.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace tamix::server {

namespace {

// 1.2 apart: the class of 100 words stands for 90 to 108.
constexpr double kClassStep = 1.2;

struct Weights {
    std::vector<double> idf;
    double average = 0;
    double norm[kLengthClasses]; // k1 (1 - b + b length / average) of each class
};

void FreeWeights(void* p) {
    delete static_cast<Weights*>(p);
}

// Parsed once per query: FTS5 keeps it with the query's cursor.
Weights* WeightsOf(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_value* list,
                   double average) {
    auto* weights = static_cast<Weights*>(api->xGetAuxdata(fts, 0));
    if (weights) return weights;
    weights = new Weights;
    weights->average = std::max(1.0, average);
    for (int c = 0; c < kLengthClasses; ++c)
        weights->norm[c] = kBm25K1 * (1 - kBm25B + kBm25B * ClassLength(c) / weights->average);
    const char* text = reinterpret_cast<const char*>(sqlite3_value_text(list));
    for (char* end = nullptr; text && *text; text = end) {
        const double value = std::strtod(text, &end);
        if (end == text) break;
        weights->idf.push_back(std::isfinite(value) && value > 0 ? value : 0.0);
    }
    if (api->xSetAuxdata(fts, weights, &FreeWeights) != SQLITE_OK) return nullptr;
    return weights;
}

void Rank(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* out, int argc,
          sqlite3_value** argv) {
    if (argc != 2 && argc != 3) {
        sqlite3_result_error(out, "tamix_rank(article_fts, idfs, averageLength[, top])", -1);
        return;
    }
    const Weights* weights = WeightsOf(api, fts, argv[0], sqlite3_value_double(argv[1]));
    if (!weights) {
        sqlite3_result_error_nomem(out);
        return;
    }
    const std::int64_t rowid = api->xRowid(fts);
    // Rowids are negated keys: the class is the low part of the key.
    const double norm = weights->norm[-(rowid % kLengthClasses)];
    const int phrases = std::min<int>(api->xPhraseCount(fts), weights->idf.size());
    double score = 0;
    for (int p = 0; p < phrases; ++p) {
        if (weights->idf[p] <= 0) continue;
        double frequency = 0;
        Fts5PhraseIter it;
        int column = 0, offset = 0;
        if (api->xPhraseFirst(fts, p, &it, &column, &offset) != SQLITE_OK) continue;
        for (; column >= 0; api->xPhraseNext(fts, &it, &column, &offset))
            if (column < kColumns) frequency += kColumnWeight[column];
        if (frequency > 0)
            score += weights->idf[p] * frequency * (kBm25K1 + 1) / (frequency + norm);
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

void TopMatches::Offer(double score, std::int64_t id) {
    const Scored row{score, id};
    if (heap_.size() < limit_) {
        heap_.push_back(row);
        std::push_heap(heap_.begin(), heap_.end(), &Better);
    } else if (limit_ > 0 && Better(row, heap_.front())) {
        std::pop_heap(heap_.begin(), heap_.end(), &Better);
        heap_.back() = row;
        std::push_heap(heap_.begin(), heap_.end(), &Better);
    }
}

std::vector<std::int64_t> TopMatches::Take() {
    std::sort_heap(heap_.begin(), heap_.end(), &Better);
    std::vector<std::int64_t> ids;
    ids.reserve(heap_.size());
    for (const Scored& s : heap_)
        ids.push_back(s.id);
    heap_.clear();
    return ids;
}

int LengthClass(std::int64_t words) {
    if (words <= 0) return 0;
    const int c =
        static_cast<int>(std::lround(std::log(static_cast<double>(words)) / std::log(kClassStep))) +
        1;
    return std::min(c, kLengthClasses - 1);
}

double ClassLength(int lengthClass) {
    return lengthClass <= 0 ? 0.0 : std::pow(kClassStep, lengthClass - 1);
}

double InverseDocumentFrequency(std::int64_t n, std::int64_t df) {
    if (df < 0) df = 0;
    if (n < df) n = df;
    return std::log(1.0 + (static_cast<double>(n - df) + 0.5) / (static_cast<double>(df) + 0.5));
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
