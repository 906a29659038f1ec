// The index's tokenizer (FTS5's porter stemmer over unicode61, diacritics removed) outside
// FTS5: which terms a record's ranked fields hold and how often, and which terms a phrase
// of a search is made of, exactly as the full-text index sees them.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace tamix::server {

class Tokenizer {
public:
    // Uses a private in-memory connection; one tokenizer a thread. Throws
    // std::runtime_error when this SQLite has no FTS5.
    Tokenizer();
    ~Tokenizer();
    Tokenizer(const Tokenizer&) = delete;
    Tokenizer& operator=(const Tokenizer&) = delete;

    // Each term of the text, in order.
    void ForEachTerm(std::string_view text, const std::function<void(std::string_view)>& each);
    std::vector<std::string> Terms(std::string_view text);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace tamix::server
