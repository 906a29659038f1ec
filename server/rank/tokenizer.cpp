#include "server/rank/tokenizer.h"

#include "server/rank/terms.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

namespace tamix::server {

struct Tokenizer::Impl {
    sqlite3* db = nullptr;
    fts5_tokenizer methods{};
    Fts5Tokenizer* instance = nullptr;

    ~Impl() {
        if (instance) methods.xDelete(instance);
        sqlite3_close_v2(db);
    }
};

namespace {

// The index's table says tokenize='porter unicode61 remove_diacritics 2'.
const char* const kPorterArguments[] = {"unicode61", "remove_diacritics", "2"};

} // namespace

fts5_api* Fts5Of(sqlite3* db) {
    fts5_api* api = nullptr;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT fts5(?1)", -1, &statement, nullptr) == SQLITE_OK) {
        sqlite3_bind_pointer(statement, 1, &api, "fts5_api_ptr", nullptr);
        sqlite3_step(statement);
    }
    sqlite3_finalize(statement);
    return api;
}

Tokenizer::Tokenizer() : impl_(std::make_unique<Impl>()) {
    if (sqlite3_open(":memory:", &impl_->db) != SQLITE_OK)
        throw std::runtime_error("cannot open a connection for the tokenizer");
    fts5_api* api = Fts5Of(impl_->db);
    void* data = nullptr;
    if (!api || api->xFindTokenizer(api, "porter", &data, &impl_->methods) != SQLITE_OK ||
        impl_->methods.xCreate(data, const_cast<const char**>(kPorterArguments), 3,
                               &impl_->instance) != SQLITE_OK)
        throw std::runtime_error("this SQLite has no FTS5 tokenizer to index with");
}

Tokenizer::~Tokenizer() = default;

void Tokenizer::Tokenize(std::string_view text, void* context,
                         int (*onToken)(void*, int, const char*, int, int, int)) {
    if (text.empty()) return;
    impl_->methods.xTokenize(impl_->instance, context, FTS5_TOKENIZE_DOCUMENT, text.data(),
                             static_cast<int>(text.size()), onToken);
}

std::vector<std::string> Tokenizer::Terms(std::string_view text) {
    std::vector<std::string> terms;
    ForEachToken(text, [&](std::string_view term, int) { terms.emplace_back(term); });
    return terms;
}

struct TokenReplay::State {
    fts5_tokenizer porter{};
    void* porterData = nullptr;
    std::array<std::string_view, kRankedFields> texts;
    std::array<std::string_view, kRankedFields> tokens; // each text's, as numbers of terms
    std::array<bool, kRankedFields> armed{};
    std::vector<std::string_view> terms;
    long replayed = 0;

    // True when the text was armed, with rc what the tokens' callback said.
    bool Replay(void* context, const char* text, int length,
                int (*onToken)(void*, int, const char*, int, int, int), int& rc) {
        for (int field = 0; field < kRankedFields; ++field) {
            const std::string_view armedText = texts[field];
            if (!armed[field] || armedText.size() != static_cast<std::size_t>(length) ||
                (length > 0 && std::memcmp(armedText.data(), text, armedText.size()) != 0))
                continue;
            armed[field] = false;
            ++replayed;
            rc = SQLITE_OK;
            const std::string_view numbers = tokens[field];
            std::size_t pos = 0;
            std::uint64_t term = 0;
            // Arm has read them all back. Offsets are for highlighting, which the index's
            // writer never does; FTS5 does not keep them.
            while (rc == SQLITE_OK && GetVarint(numbers, pos, term))
                rc = onToken(context, 0, terms[term].data(), static_cast<int>(terms[term].size()),
                             0, 0);
            return true;
        }
        return false;
    }
};

namespace {

// A table's tokenizer on the writer's connection: porter's, and the state to replay from
// when the table asks for what Tokenizer gives.
struct ReplayingTokenizer {
    TokenReplay::State* state;
    fts5_tokenizer porter;
    Fts5Tokenizer* instance;
    bool sameArguments;
};

int CreateReplaying(void* context, const char** arguments, int count, Fts5Tokenizer** out) {
    auto* state = static_cast<TokenReplay::State*>(context);
    Fts5Tokenizer* instance = nullptr;
    const int rc = state->porter.xCreate(state->porterData, arguments, count, &instance);
    if (rc != SQLITE_OK) return rc;
    bool same = count == 3;
    for (int i = 0; same && i < count; ++i)
        same = std::strcmp(arguments[i], kPorterArguments[i]) == 0;
    auto* made = new (std::nothrow) ReplayingTokenizer{state, state->porter, instance, same};
    if (!made) {
        state->porter.xDelete(instance);
        return SQLITE_NOMEM;
    }
    *out = reinterpret_cast<Fts5Tokenizer*>(made);
    return SQLITE_OK;
}

void DeleteReplaying(Fts5Tokenizer* tokenizer) {
    auto* replaying = reinterpret_cast<ReplayingTokenizer*>(tokenizer);
    replaying->porter.xDelete(replaying->instance);
    delete replaying;
}

int TokenizeReplaying(Fts5Tokenizer* tokenizer, void* context, int flags, const char* text,
                      int length, int (*onToken)(void*, int, const char*, int, int, int)) {
    auto* replaying = reinterpret_cast<ReplayingTokenizer*>(tokenizer);
    int rc = SQLITE_OK;
    if (replaying->sameArguments && flags == FTS5_TOKENIZE_DOCUMENT &&
        replaying->state->Replay(context, text, length, onToken, rc))
        return rc;
    return replaying->porter.xTokenize(replaying->instance, context, flags, text, length, onToken);
}

} // namespace

TokenReplay::TokenReplay(sqlite3* db) : state_(new State) {
    fts5_api* api = Fts5Of(db);
    fts5_tokenizer replaying{&CreateReplaying, &DeleteReplaying, &TokenizeReplaying};
    if (!api || api->xFindTokenizer(api, "porter", &state_->porterData, &state_->porter) != SQLITE_OK) {
        delete state_;
        throw std::runtime_error("this SQLite has no FTS5 tokenizer to index with");
    }
    // Once registered, the state is the connection's to delete when it closes.
    if (api->xCreateTokenizer(api, "porter", state_, &replaying,
                              [](void* state) { delete static_cast<State*>(state); }) != SQLITE_OK) {
        delete state_;
        throw std::runtime_error("cannot hand the full-text index its tokens");
    }
}

void TokenReplay::Arm(const std::array<std::string_view, kRankedFields>& texts,
                      std::string_view terms, std::string_view tokens) {
    Disarm();
    if (tokens.empty()) return;
    State& s = *state_;
    s.terms.clear();
    if (!ForEachEncodedTerm(terms, [&](std::string_view term, std::uint32_t) {
            s.terms.push_back(term);
        }))
        throw std::logic_error("a prepared record's terms do not read back");
    std::uint64_t length = 0, number = 0;
    const auto bad = [] { throw std::logic_error("a prepared record's tokens do not read back"); };
    std::size_t at = 0;
    std::uint64_t count = 0;
    std::uint64_t highest = 0; // one past the highest number of a term
    for (int field = 0; field < kRankedFields; ++field) {
        if (!GetVarint(tokens, at, count)) bad();
        const std::size_t start = at;
        for (std::uint64_t i = 0; i < count; ++i) {
            if (!GetVarint(tokens, at, number) || number >= tokens.size() + s.terms.size()) bad();
            highest = std::max(highest, number + 1);
        }
        s.tokens[field] = tokens.substr(start, at - start);
    }
    if (!GetVarint(tokens, at, count)) bad();
    for (std::uint64_t i = 0; i < count; ++i) {
        if (!GetVarint(tokens, at, length) || length > tokens.size() - at) bad();
        s.terms.push_back(tokens.substr(at, length));
        at += length;
    }
    if (at != tokens.size() || highest > s.terms.size()) bad();
    s.texts = texts;
    s.armed.fill(true);
}

void TokenReplay::Disarm() {
    state_->armed.fill(false);
}

long TokenReplay::Replayed() const {
    return state_->replayed;
}

} // namespace tamix::server
