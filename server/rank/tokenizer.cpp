#include "server/rank/tokenizer.h"

#include <sqlite3.h>

#include <stdexcept>

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

int OnToken(void* context, int, const char* token, int length, int, int) {
    (*static_cast<const std::function<void(std::string_view)>*>(context))(
        std::string_view(token, static_cast<std::size_t>(length)));
    return SQLITE_OK;
}

} // namespace

Tokenizer::Tokenizer() : impl_(std::make_unique<Impl>()) {
    if (sqlite3_open(":memory:", &impl_->db) != SQLITE_OK)
        throw std::runtime_error("cannot open a connection for the tokenizer");
    fts5_api* api = nullptr;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(impl_->db, "SELECT fts5(?1)", -1, &statement, nullptr) == SQLITE_OK) {
        sqlite3_bind_pointer(statement, 1, &api, "fts5_api_ptr", nullptr);
        sqlite3_step(statement);
    }
    sqlite3_finalize(statement);
    void* data = nullptr;
    // The index's table says tokenize='porter unicode61 remove_diacritics 2'.
    const char* arguments[] = {"unicode61", "remove_diacritics", "2"};
    if (!api || api->xFindTokenizer(api, "porter", &data, &impl_->methods) != SQLITE_OK ||
        impl_->methods.xCreate(data, arguments, 3, &impl_->instance) != SQLITE_OK)
        throw std::runtime_error("this SQLite has no FTS5 tokenizer to index with");
}

Tokenizer::~Tokenizer() = default;

void Tokenizer::ForEachTerm(std::string_view text,
                            const std::function<void(std::string_view)>& each) {
    if (text.empty()) return;
    impl_->methods.xTokenize(impl_->instance, const_cast<std::function<void(std::string_view)>*>(&each),
                             FTS5_TOKENIZE_DOCUMENT, text.data(), static_cast<int>(text.size()),
                             &OnToken);
}

std::vector<std::string> Tokenizer::Terms(std::string_view text) {
    std::vector<std::string> terms;
    ForEachTerm(text, [&](std::string_view term) { terms.emplace_back(term); });
    return terms;
}

} // namespace tamix::server
