#include "server/index/query.h"

#include "pubmed/text.h"

#include <memory>
#include <optional>
#include <vector>

namespace tamix::server {

namespace {

constexpr std::size_t kMaxLeaves = 64;
constexpr int kMaxYearSpan = 300;
constexpr const char* kAllColumns = "{title abstract authors}";

struct Token {
    enum Kind { Word, Phrase, Open, Close, And, Or, Not, Tag } kind;
    std::string text;
};

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// A byte that the index's tokenizer keeps: ASCII letters and digits, and everything
// from 0x80 (letters of other scripts).
bool IsWordByte(char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || b >= 0x80;
}

bool HasWordByte(std::string_view text) {
    for (char c : text)
        if (IsWordByte(c)) return true;
    return false;
}

std::optional<std::vector<Token>> Tokenize(std::string_view q) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    while (i < q.size()) {
        const char c = q[i];
        if (IsSpace(c)) {
            ++i;
        } else if (c == '(' || c == ')') {
            tokens.push_back({c == '(' ? Token::Open : Token::Close, {}});
            ++i;
        } else if (c == '"') {
            const std::size_t end = q.find('"', i + 1);
            if (end == std::string_view::npos) return std::nullopt;
            tokens.push_back({Token::Phrase, std::string(q.substr(i + 1, end - i - 1))});
            i = end + 1;
        } else if (c == '[') {
            const std::size_t end = q.find(']', i + 1);
            if (end == std::string_view::npos) return std::nullopt;
            tokens.push_back({Token::Tag, ToLowerAscii(q.substr(i + 1, end - i - 1))});
            i = end + 1;
        } else {
            std::size_t end = i;
            while (end < q.size() && !IsSpace(q[end]) && q[end] != '(' && q[end] != ')' &&
                   q[end] != '"' && q[end] != '[')
                ++end;
            const std::string word(q.substr(i, end - i));
            if (word == "AND")
                tokens.push_back({Token::And, {}});
            else if (word == "OR")
                tokens.push_back({Token::Or, {}});
            else if (word == "NOT")
                tokens.push_back({Token::Not, {}});
            else
                tokens.push_back({Token::Word, word});
            i = end;
        }
    }
    return tokens;
}

// FTS5 string literal: the text in double quotes, its quotes doubled.
std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + '"';
}

class Parser {
public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    // The expression, "" for one that can match nothing; nullopt when it does not parse.
    std::optional<std::string> Parse() {
        auto expression = ParseOr();
        if (!expression || pos_ != tokens_.size() || leaves_ > kMaxLeaves) return std::nullopt;
        return expression;
    }

private:
    using Result = std::optional<std::string>;

    const Token* Peek() const { return pos_ < tokens_.size() ? &tokens_[pos_] : nullptr; }
    bool At(Token::Kind kind) const { return Peek() && Peek()->kind == kind; }

    // Joins two sides; an empty side (no words) drops out of AND and OR, and NOT with an
    // empty right side leaves the left.
    static std::string Join(const std::string& left, const char* op, const std::string& right) {
        if (left.empty()) return std::string(op) == std::string("NOT") ? std::string() : right;
        if (right.empty()) return left;
        return "(" + left + " " + op + " " + right + ")";
    }

    Result ParseOr() {
        Result left = ParseAnd();
        while (left && At(Token::Or)) {
            ++pos_;
            Result right = ParseAnd();
            if (!right) return std::nullopt;
            left = Join(*left, "OR", *right);
        }
        return left;
    }

    Result ParseAnd() {
        Result left = ParseNot();
        while (left && Peek() && Peek()->kind != Token::Or && Peek()->kind != Token::Close) {
            if (At(Token::And)) ++pos_; // otherwise two terms side by side: AND as well
            Result right = ParseNot();
            if (!right) return std::nullopt;
            left = Join(*left, "AND", *right);
        }
        return left;
    }

    Result ParseNot() {
        Result left = ParsePrimary();
        while (left && At(Token::Not)) {
            ++pos_;
            Result right = ParsePrimary();
            if (!right) return std::nullopt;
            left = Join(*left, "NOT", *right);
        }
        return left;
    }

    Result ParsePrimary() {
        const Token* token = Peek();
        if (!token) return std::nullopt;
        if (token->kind == Token::Open) {
            ++pos_;
            Result inner = ParseOr();
            if (!inner || !At(Token::Close)) return std::nullopt;
            ++pos_;
            return inner;
        }
        if (token->kind != Token::Word && token->kind != Token::Phrase) return std::nullopt;
        // Words up to a tag belong to it and are searched together ("smith j[au]");
        // untagged words stand each on their own.
        std::size_t end = pos_;
        while (end < tokens_.size() && tokens_[end].kind == Token::Word)
            ++end;
        if (tokens_[pos_].kind == Token::Phrase) end = pos_ + 1;
        if (end < tokens_.size() && tokens_[end].kind == Token::Tag) {
            std::string text;
            for (std::size_t i = pos_; i < end; ++i)
                text += (text.empty() ? "" : " ") + tokens_[i].text;
            const std::string tag = tokens_[end].text;
            pos_ = end + 1;
            return Tagged(text, tag);
        }
        ++pos_;
        return Leaf(kAllColumns, token->text, token->kind == Token::Word);
    }

    // A word or phrase in some columns; '*' at a word's end searches its prefix.
    std::string Leaf(const char* columns, std::string text, bool mayTruncate) {
        bool prefix = false;
        if (mayTruncate && text.size() > 1 && text.back() == '*') {
            text.pop_back();
            prefix = true;
        }
        if (!HasWordByte(text)) return {};
        ++leaves_;
        return std::string(columns) + " : " + Quote(text) + (prefix ? " *" : "");
    }

    Result Tagged(const std::string& text, const std::string& tag) {
        if (tag == "ti" || tag == "title") return Leaf("title", text, true);
        if (tag == "tiab" || tag == "title/abstract") return Leaf("{title abstract}", text, true);
        if (tag == "au" || tag == "author" || tag == "auth") return Leaf("authors", text, true);
        if (tag == "all" || tag == "all fields") return Leaf(kAllColumns, text, true);
        if (tag == "pmid" || tag == "uid") return PmidLeaf(text);
        if (tag == "dp" || tag == "pdat" || tag == "publication date") return YearLeaf(text);
        return std::nullopt;
    }

    Result PmidLeaf(const std::string& text) {
        if (text.empty() || text.size() > 9 ||
            text.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        ++leaves_;
        return "tags : " + Quote("p" + std::to_string(std::stoll(text)));
    }

    // "2020", "2020/03/15", "2018:2020" (PubMed writes ranges with a colon).
    Result YearLeaf(const std::string& text) {
        const auto year = [](const std::string& part) -> int {
            if (part.size() < 4 || part.find_first_not_of("0123456789") < 4) return -1;
            return std::stoi(part.substr(0, 4));
        };
        const std::size_t colon = text.find(':');
        const int from = year(text.substr(0, colon));
        const int to = colon == std::string::npos ? from : year(text.substr(colon + 1));
        if (from < 0 || to < from || to - from >= kMaxYearSpan) return std::nullopt;
        std::string years;
        for (int y = from; y <= to; ++y)
            years += (years.empty() ? "" : " OR ") + Quote("y" + std::to_string(y));
        ++leaves_;
        return "tags : (" + years + ")";
    }

    std::vector<Token> tokens_;
    std::size_t pos_ = 0;
    std::size_t leaves_ = 0;
};

// The fallback: every run of word bytes in the query, all of them required.
std::string PlainWords(std::string_view q) {
    std::string match;
    std::size_t count = 0;
    for (std::size_t i = 0; i < q.size() && count < kMaxLeaves;) {
        if (!IsWordByte(q[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < q.size() && IsWordByte(q[end]))
            ++end;
        match += (match.empty() ? "" : " AND ") + std::string(kAllColumns) + " : " +
                 Quote(q.substr(i, end - i));
        ++count;
        i = end;
    }
    return match;
}

} // namespace

std::string BuildMatch(std::string_view query) {
    if (auto tokens = Tokenize(query)) {
        if (tokens->empty()) return {};
        if (auto match = Parser(std::move(*tokens)).Parse()) return *match;
    }
    return PlainWords(query);
}

} // namespace tamix::server
