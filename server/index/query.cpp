#include "server/index/query.h"

#include "pubmed/text.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <vector>

namespace tamix::server {

namespace {

// The work one query may cause: FTS5 keeps an iterator, and reads a doclist, for every
// term of every phrase it is given.
constexpr int kMaxTerms = 64;
// A prefix counts as this many terms: it reads the doclists of all the words it begins
// (a common four-letter one costs ten to twenty words).
constexpr int kPrefixTerms = 16;
constexpr int kMinPrefix = 4;
// FTS5's expression parser overflows its stack at about 30 levels of parentheses; the
// expressions written here stay at a third of that, and so does the reading of them.
constexpr int kMaxDepth = 10;
constexpr int kMaxParentheses = 10;
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

// Punctuation, symbols and spaces from 0x80 that the tokenizer drops (Unicode's
// categories other than letters and numbers, in the blocks where pasted text has them:
// Latin-1, general punctuation, arrows and mathematical operators, CJK punctuation,
// full-width ASCII punctuation).
bool IsSeparator(std::uint32_t code) {
    static constexpr std::pair<std::uint32_t, std::uint32_t> kRanges[] = {
        {0x80, 0xA9},     {0xAB, 0xB1},     {0xB4, 0xB4},     {0xB6, 0xB8},
        {0xBB, 0xBB},     {0xBF, 0xBF},     {0xD7, 0xD7},     {0xF7, 0xF7},
        {0x2000, 0x206F}, {0x2190, 0x22FF}, {0x3000, 0x3004}, {0x3008, 0x3020},
        {0x302A, 0x3030}, {0x3036, 0x3037}, {0x303D, 0x303F}, {0xFF01, 0xFF0F}};
    for (const auto& [first, last] : kRanges)
        if (code >= first && code <= last) return true;
    return false;
}

// Whether the tokenizer finds a term in the text: a phrase without one ("–" between two
// words) would match nothing and take every record out of an AND.
bool HasTerm(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            if (IsWordByte(text[i])) return true;
            ++i;
            continue;
        }
        const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        if (length == 1 || i + length > text.size()) return true; // not UTF-8: kept as it is
        std::uint32_t code = b & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k)
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        if (!IsSeparator(code)) return true;
        i += length;
    }
    return false;
}

// How many terms FTS5 may make of the text, counted high: runs of ASCII letters and
// digits and of the Latin letters U+00C0..U+024F are one term each, and every other
// character from 0x80 is counted as a term of its own (some are letters of a longer
// word, some are separators that would split one).
int TermsIn(std::string_view text) {
    int terms = 0;
    bool inWord = false;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t length = 1;
        bool latinLetter = false;
        if (b >= 0x80) {
            length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
            if (length == 2 && i + 1 < text.size()) {
                const int code =
                    ((b & 0x1F) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3F);
                latinLetter = code >= 0xC0 && code <= 0x24F && code != 0xD7 && code != 0xF7;
            }
        }
        const bool ascii = b < 0x80 && IsWordByte(static_cast<char>(b));
        if (ascii || latinLetter) {
            if (!inWord) ++terms;
            inWord = true;
        } else {
            if (b >= 0x80) ++terms;
            inWord = false;
        }
        i += length;
    }
    return terms;
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

// The query as a tree. AND and OR hold all the operands of a repeated operator side by
// side, and NOT takes its first operand minus all the others, so that "a OR b OR c"
// is written flat, as FTS5 reads it, and not as nested pairs.
struct Node {
    enum Kind { Empty, Leaf, Years, And, Or, Not };
    explicit Node(Kind k = Empty) : kind(k) {}

    Kind kind;
    std::string leaf;     // Leaf: columns, quoted text, '*'
    int terms = 0;        // Leaf
    int from = 0, to = 0; // Years
    std::vector<Node> operands;
};

// Joins two operands; an empty one (no words) drops out of AND and OR, and NOT with an
// empty right side leaves the left.
Node Join(Node::Kind op, Node left, Node right) {
    if (left.kind == Node::Empty) return op == Node::Not ? Node{} : right;
    if (right.kind == Node::Empty) return left;
    Node joined(op);
    if (left.kind == op)
        joined = std::move(left);
    else
        joined.operands.push_back(std::move(left));
    if (right.kind == op && op != Node::Not) {
        for (Node& operand : right.operands)
            joined.operands.push_back(std::move(operand));
    } else {
        joined.operands.push_back(std::move(right));
    }
    return joined;
}

// Levels of parentheses in the written expression.
int Depth(const Node& node) {
    switch (node.kind) {
    case Node::Empty:
        return 0;
    case Node::Leaf:
        return 1;
    case Node::Years:
        return YearTags(node.from, node.to).size() > 1 ? 2 : 1;
    default:
        break;
    }
    int deepest = 0;
    for (const Node& operand : node.operands)
        deepest = std::max(deepest, Depth(operand));
    return deepest + 1;
}

int Terms(const Node& node) {
    if (node.kind == Node::Leaf) return node.terms;
    if (node.kind == Node::Years) return static_cast<int>(YearTags(node.from, node.to).size());
    int terms = 0;
    for (const Node& operand : node.operands)
        terms += Terms(operand);
    return terms;
}

std::string Write(const Node& node) {
    switch (node.kind) {
    case Node::Empty:
        return {};
    case Node::Leaf:
        return node.leaf;
    case Node::Years: {
        const std::vector<std::string> tags = YearTags(node.from, node.to);
        if (tags.size() == 1) return "tags : " + Quote(tags[0]);
        std::string any;
        for (const std::string& tag : tags)
            any += (any.empty() ? "" : " OR ") + Quote(tag);
        return "tags : (" + any + ")";
    }
    default:
        break;
    }
    const char* op = node.kind == Node::And ? " AND " : node.kind == Node::Or ? " OR " : " NOT ";
    std::string out = "(";
    for (std::size_t i = 0; i < node.operands.size(); ++i)
        out += (i ? op : "") + Write(node.operands[i]);
    return out + ")";
}

class Parser {
public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    // The tree; nullopt when the query does not parse.
    std::optional<Node> Parse() {
        auto tree = ParseOr();
        if (!tree || pos_ != tokens_.size()) return std::nullopt;
        return tree;
    }

private:
    using Result = std::optional<Node>;

    const Token* Peek() const { return pos_ < tokens_.size() ? &tokens_[pos_] : nullptr; }
    bool At(Token::Kind kind) const { return Peek() && Peek()->kind == kind; }

    Result ParseOr() {
        Result left = ParseAnd();
        while (left && At(Token::Or)) {
            ++pos_;
            Result right = ParseAnd();
            if (!right) return std::nullopt;
            left = Join(Node::Or, std::move(*left), std::move(*right));
        }
        return left;
    }

    Result ParseAnd() {
        Result left = ParseNot();
        while (left && Peek() && Peek()->kind != Token::Or && Peek()->kind != Token::Close) {
            if (At(Token::And)) ++pos_; // otherwise two terms side by side: AND as well
            Result right = ParseNot();
            if (!right) return std::nullopt;
            left = Join(Node::And, std::move(*left), std::move(*right));
        }
        return left;
    }

    Result ParseNot() {
        Result left = ParsePrimary();
        while (left && At(Token::Not)) {
            ++pos_;
            Result right = ParsePrimary();
            if (!right) return std::nullopt;
            left = Join(Node::Not, std::move(*left), std::move(*right));
        }
        return left;
    }

    Result ParsePrimary() {
        const Token* token = Peek();
        if (!token) return std::nullopt;
        if (token->kind == Token::Open) {
            if (++parentheses_ > kMaxParentheses) return std::nullopt;
            ++pos_;
            Result inner = ParseOr();
            if (!inner || !At(Token::Close)) return std::nullopt;
            ++pos_;
            --parentheses_;
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

    // A word or phrase in some columns; '*' at a word's end searches its prefix when at
    // least four characters stand before it (as PubMed asks): FTS5 merges the doclists of
    // every word a prefix begins, and "a*" would be most of the index.
    static Node Leaf(const char* columns, std::string text, bool mayTruncate) {
        bool prefix = false;
        if (mayTruncate && !text.empty() && text.back() == '*') {
            text.pop_back();
            prefix = CharactersOfLastWord(text) >= kMinPrefix;
        }
        if (!HasTerm(text)) return Node();
        Node leaf(Node::Leaf);
        leaf.leaf = std::string(columns) + " : " + Quote(text) + (prefix ? " *" : "");
        leaf.terms = std::max(1, TermsIn(text)) + (prefix ? kPrefixTerms - 1 : 0);
        return leaf;
    }

    static int CharactersOfLastWord(std::string_view text) {
        int characters = 0;
        for (std::size_t i = text.size(); i > 0 && IsWordByte(text[i - 1]); --i)
            characters += (static_cast<unsigned char>(text[i - 1]) & 0xC0) != 0x80;
        return characters;
    }

    static Result Tagged(const std::string& text, const std::string& tag) {
        if (tag == "ti" || tag == "title") return Leaf("title", text, true);
        if (tag == "tiab" || tag == "title/abstract") return Leaf("{title abstract}", text, true);
        if (tag == "au" || tag == "author" || tag == "auth") return Leaf("authors", text, true);
        if (tag == "all" || tag == "all fields") return Leaf(kAllColumns, text, true);
        if (tag == "pmid" || tag == "uid") return PmidLeaf(text);
        if (tag == "dp" || tag == "pdat" || tag == "publication date") return YearSpan(text);
        return std::nullopt;
    }

    static Result PmidLeaf(const std::string& text) {
        if (text.empty() || text.size() > 9 ||
            text.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        Node leaf(Node::Leaf);
        leaf.leaf = "tags : " + Quote("p" + std::to_string(std::stoll(text)));
        leaf.terms = 1;
        return leaf;
    }

    // "2020", "2020/03/15", "2018:2020" (PubMed writes ranges with a colon).
    static Result YearSpan(const std::string& text) {
        const auto year = [](const std::string& part) -> int {
            if (part.size() < 4 || part.find_first_not_of("0123456789") < 4) return -1;
            return std::stoi(part.substr(0, 4));
        };
        const std::size_t colon = text.find(':');
        const int from = year(text.substr(0, colon));
        const int to = colon == std::string::npos ? from : year(text.substr(colon + 1));
        if (from < 1 || to < from) return std::nullopt;
        Node span(Node::Years);
        span.from = from;
        span.to = to;
        return span;
    }

    std::vector<Token> tokens_;
    std::size_t pos_ = 0;
    int parentheses_ = 0;
};

// Spans of years ANDed at the top become a span of rowids, which FTS5 seeks to instead
// of matching tags; elsewhere (under OR or NOT) they stay tags. The tree keeps the rest,
// or, when spans were all of it, the tags of the years they share: FTS5 counts a
// span's records from their tags faster than SQLite counts the rows of the records.
void TakeTopSpans(Node& tree, Search& search) {
    std::vector<Node> spans;
    if (tree.kind == Node::Years) {
        spans.push_back(std::move(tree));
        tree = Node();
    } else if (tree.kind == Node::And) {
        std::vector<Node> rest;
        for (Node& operand : tree.operands)
            (operand.kind == Node::Years ? spans : rest).push_back(std::move(operand));
        if (rest.empty())
            tree = Node();
        else if (rest.size() == 1)
            tree = Node(std::move(rest[0]));
        else
            tree.operands = std::move(rest);
    }
    if (spans.empty()) return;
    Node shared(Node::Years);
    shared.from = 1;
    shared.to = 9999;
    for (const Node& span : spans) {
        std::int64_t first = 0, last = 0;
        YearRowids(span.from, span.to, first, last);
        search.firstRowid = std::max(search.firstRowid, first);
        search.lastRowid = std::min(search.lastRowid, last);
        shared.from = std::max(shared.from, span.from);
        shared.to = std::min(shared.to, span.to);
    }
    if (tree.kind == Node::Empty && shared.from <= shared.to) tree = std::move(shared);
}

// The fallback: every distinct run of word bytes in the query, all of them required, as
// many as the bound allows.
Search PlainWords(std::string_view q) {
    Search search;
    std::set<std::string_view> seen;
    int terms = 0;
    for (std::size_t i = 0; i < q.size();) {
        if (!IsWordByte(q[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < q.size() && IsWordByte(q[end]))
            ++end;
        const std::string_view word = q.substr(i, end - i);
        i = end;
        if (!HasTerm(word) || !seen.insert(word).second) continue;
        terms += std::max(1, TermsIn(word));
        if (terms > kMaxTerms) break;
        search.match +=
            (search.match.empty() ? "" : " AND ") + std::string(kAllColumns) + " : " + Quote(word);
    }
    return search;
}

} // namespace

Search BuildSearch(std::string_view query) {
    // A NUL would end the expression inside FTS5 ("unterminated string"); no control
    // byte means anything in a search, so all of them are spaces.
    std::string text(query);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    if (auto tokens = Tokenize(text)) {
        if (tokens->empty()) return {};
        if (auto tree = Parser(std::move(*tokens)).Parse()) {
            Search search;
            TakeTopSpans(*tree, search);
            if (Depth(*tree) <= kMaxDepth && Terms(*tree) <= kMaxTerms) {
                search.match = Write(*tree);
                return search;
            }
        }
    }
    return PlainWords(text);
}

} // namespace tamix::server
