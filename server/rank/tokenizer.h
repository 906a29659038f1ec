// The index's tokenizer (FTS5's porter stemmer over unicode61, diacritics removed) outside
// FTS5: which terms a record's ranked fields hold and how often, and which terms a phrase
// of a search is made of, exactly as the full-text index sees them.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

struct sqlite3;
struct fts5_api;

namespace tamix::server {

// The connection's FTS5 interface; null when this SQLite has none.
fts5_api* Fts5Of(sqlite3* db);

class Tokenizer {
public:
    // Uses a private in-memory connection; one tokenizer a thread. Throws
    // std::runtime_error when this SQLite has no FTS5.
    Tokenizer();
    ~Tokenizer();
    Tokenizer(const Tokenizer&) = delete;
    Tokenizer& operator=(const Tokenizer&) = delete;

    // Each term of the text, in order, with FTS5's flags of each (FTS5_TOKEN_COLOCATED).
    // A template, not a std::function: it is called for every word an import reads.
    template <typename Each> void ForEachToken(std::string_view text, Each&& each) {
        Tokenize(text, &each,
                 [](void* context, int flags, const char* token, int length, int, int) {
                     (*static_cast<std::remove_reference_t<Each>*>(context))(
                         std::string_view(token, static_cast<std::size_t>(length)), flags);
                     return 0; // SQLITE_OK
                 });
    }
    std::vector<std::string> Terms(std::string_view text);

private:
    void Tokenize(std::string_view text, void* context,
                  int (*onToken)(void*, int, const char*, int, int, int));
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The fields ranking counts: title, abstract, authors, MeSH headings, keywords, the first
// columns of the full-text index.
constexpr int kRankedFields = 5;

// The writer's full-text index takes a record's tokens from the reading thread, which found
// them for ranking, instead of tokenizing the same texts again.
class TokenReplay {
public:
    // From now on the connection's "porter" tokenizer (the index's) answers a text armed
    // here with the tokens armed with it, and any other text as porter itself does. Call
    // before the connection first uses its full-text table; throws std::runtime_error when
    // this SQLite has no FTS5. The connection must outlive this object.
    explicit TokenReplay(sqlite3* db);
    TokenReplay(const TokenReplay&) = delete;
    TokenReplay& operator=(const TokenReplay&) = delete;

    // The ranked fields' texts of the next row, with its terms (EncodeTerms) and tokens
    // (EncodedRecordTerms) made from exactly those texts by a Tokenizer; each text is
    // answered so once. The bytes must stay until Disarm. Throws std::logic_error when the
    // tokens do not read back; empty tokens arm nothing.
    void Arm(const std::array<std::string_view, kRankedFields>& texts, std::string_view terms,
             std::string_view tokens);
    void Disarm();
    // Texts answered from armed tokens so far.
    long Replayed() const;

    struct State; // what the connection's tokenizers share with this object

private:
    State* state_; // the connection's: it may call on it until it closes
};

} // namespace tamix::server
