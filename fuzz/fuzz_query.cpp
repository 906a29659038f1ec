// The query translator, its expression run against an index in memory: no query may
// make SQLite report an error (FTS5 syntax, its parser's stack), make the translator
// throw or recurse deeper than a small stack allows, or ask FTS5 for unbounded work.
#include "check.h"

#include "server/index/index.h"
#include "server/index/query.h"
#include "server/index/results.h"
#include "server/records/readers.h"
#include "server/records/sample.h"

#include <pthread.h>

#include <cstring>
#include <memory>
#include <sstream>

using namespace tamix;

namespace {

// One SQLite database in memory that the writer and the reader share.
constexpr const char* kIndex = "file:tamix-fuzz-query?mode=memory&cache=shared";
constexpr int kSampleRecords = 300;
// The translator runs on a thread with this stack. A level of its recursion takes about
// 2.5 KB under ASan, so it holds some 100 levels: plenty for a parser whose nesting is
// bounded, far too few for one that nests as deep as a 4 KB input does.
constexpr std::size_t kTranslatorStack = 256 * 1024;
// Phrases FTS5 may be asked to look up for one query: 64 terms of the user's, each a
// few phrases at most.
constexpr std::size_t kMaxPhrases = 1024;
// The queries made from the input: up to 64 copies of it, as many as the longest term the
// server takes (2,000 bytes) holds, and it inside 40 groups.
constexpr int kRepeats = 64;
constexpr std::size_t kMaxRepeatedBytes = 2000;
constexpr int kNestingLevels = 40;

std::unique_ptr<server::IndexWriter> writer;
std::unique_ptr<server::IndexReader> reader;
server::ResultCache cache;

// FTS5 string literals in the expression: each is a phrase FTS5 looks up.
std::size_t CountPhrases(std::string_view match) {
    std::size_t phrases = 0;
    bool inString = false;
    for (std::size_t i = 0; i < match.size(); ++i) {
        if (match[i] != '"') continue;
        if (inString && i + 1 < match.size() && match[i + 1] == '"') {
            ++i; // a doubled quote inside the string
        } else {
            inString = !inString;
            phrases += inString;
        }
    }
    return phrases;
}

struct Translation {
    std::string_view query;
    server::Search search;
    std::string thrown;
};

void* Translate(void* argument) {
    auto* t = static_cast<Translation*>(argument);
    try {
        t->search = server::BuildSearch(t->query);
    } catch (const std::exception& e) {
        t->thrown = e.what();
        if (t->thrown.empty()) t->thrown = "an exception";
    } catch (...) {
        t->thrown = "an exception";
    }
    return nullptr;
}

server::Search TranslateOnSmallStack(std::string_view query) {
    Translation t{query, {}, {}};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kTranslatorStack);
    pthread_t thread;
    FUZZ_CHECK(pthread_create(&thread, &attributes, &Translate, &t) == 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    if (!t.thrown.empty()) {
        std::fprintf(stderr, "BuildSearch threw: %s\n", t.thrown.c_str());
        std::abort();
    }
    return t.search;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sqlite3_config(SQLITE_CONFIG_URI, 1);
    writer = std::make_unique<server::IndexWriter>(kIndex);
    std::ostringstream sample;
    server::WriteSampleCorpus(sample, kSampleRecords);
    server::RecordSink sink;
    sink.onArticle = [](server::Article&& a) { writer->Put(a); };
    std::string error;
    if (!server::ReadPubmedXmlText(sample.str(), "sample", sink, error)) {
        std::fprintf(stderr, "sample: %s\n", error.c_str());
        std::abort();
    }
    writer->Commit();
    reader = std::make_unique<server::IndexReader>(kIndex);
    if (reader->Size() != kSampleRecords) std::abort();
    return 0;
}

namespace {

[[noreturn]] void Refuse(const char* form, std::string_view query, const std::string& why) {
    std::fprintf(stderr, "%s query of %zu bytes: %s\n", form, query.size(), why.c_str());
    std::abort();
}

void Search(const char* form, std::string_view query) {
    const server::Search search = TranslateOnSmallStack(query);
    if (search.MatchesNothing()) return;
    const std::string& match = search.match;
    const std::size_t phrases = CountPhrases(match);
    if (phrases > kMaxPhrases)
        Refuse(form, query, std::to_string(phrases) + " phrases in one expression");
    // Best Match weighs the phrases by their place in the expression.
    if (search.phrases.size() != phrases)
        Refuse(form, query,
               std::to_string(search.phrases.size()) + " phrase weights for " +
                   std::to_string(phrases) + " phrases");
    try {
        const int count = reader->Count(search);
        FUZZ_CHECK(count >= 0 && count <= kSampleRecords);
        const auto page = reader->Page(search, 0, 10);
        FUZZ_CHECK(page.size() == static_cast<std::size_t>(std::min(count, 10)));
        const auto best =
            server::FindResults(*reader, cache, search, server::SortOrder::Relevance, 1, 10);
        FUZZ_CHECK(best.matches == count && best.items.size() == page.size());
    } catch (const server::SqliteError& e) {
        Refuse(form, query, std::string("SQLite refused the expression: ") + e.what());
    }
}

} // namespace

// Besides the query itself, two made from it test the bounds that random mutation
// seldom reaches: the query many times over (the work of one request), and the query
// deep inside groups that each join a word to the next (the nesting).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view query = fuzz::Bytes(data, size);
    Search("the", query);

    std::string repeated;
    for (int i = 0; i < kRepeats && repeated.size() + size + 1 <= kMaxRepeatedBytes; ++i)
        repeated.append(query).push_back(' ');
    if (repeated.size() > size + 1) Search("the repeated", repeated);

    static constexpr const char* kJoins[] = {" (", " OR (", " NOT (", " AND ("};
    std::string nested;
    for (int level = 0; level < kNestingLevels; ++level)
        nested.append("w").append(kJoins[level % 4]);
    nested.append(query).append(kNestingLevels, ')');
    Search("the nested", nested);
    return 0;
}
