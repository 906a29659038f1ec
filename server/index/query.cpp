#include "server/index/query.h"

#include "pubmed/text.h"
#include "server/index/words.h"

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

struct Token {
    enum Kind { Word, Phrase, Open, Close, And, Or, Not, Tag } kind;
    std::string text;
};

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
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

// The query as a tree. AND and OR hold all the operands of a repeated operator side by
// side, and NOT takes its first operand minus all the others, so that "a OR b OR c"
// is written flat, as FTS5 reads it, and not as nested pairs.
struct Node {
    enum Kind { Empty, Leaf, Years, And, Or, Not };
    explicit Node(Kind k = Empty) : kind(k) {}

    Kind kind;
    std::string leaf;     // Leaf: columns, quoted text, '*'
    int terms = 0;        // Leaf
    bool grouped = false; // Leaf: several phrases in parentheses
    // Leaf: each phrase's expression alone, "" for one that is not ranked (Search::phrases)
    std::vector<std::string> phrases;
    int from = 0, to = 0; // Years
    // Leaf of a phrase (not tags): the words as given, where, and whether a prefix.
    bool words = false;
    std::string text, columns;
    bool prefix = false;
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
        return node.grouped ? 2 : 1;
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

// The expression, and in phrases each of its phrases in FTS5's order (that of the text);
// tree gets the same as a SearchNode. A phrase that a match cannot hold (taken away by NOT)
// is not ranked: its weight would cost a count and change nothing.
std::string Write(const Node& node, std::vector<std::string>& phrases, SearchNode& tree,
                  bool ranked = true) {
    switch (node.kind) {
    case Node::Empty:
        return {};
    case Node::Leaf:
        tree.kind = node.words ? SearchNode::Phrase : SearchNode::Other;
        tree.phrase = static_cast<int>(phrases.size());
        tree.text = node.text;
        tree.columns = node.columns;
        tree.prefix = node.prefix;
        tree.expression = node.leaf;
        if (ranked)
            phrases.insert(phrases.end(), node.phrases.begin(), node.phrases.end());
        else
            phrases.insert(phrases.end(), node.phrases.size(), std::string());
        return node.leaf;
    case Node::Years: {
        const std::vector<std::string> tags = YearTags(node.from, node.to);
        tree.kind = SearchNode::Other;
        phrases.insert(phrases.end(), tags.size(), std::string());
        if (tags.size() == 1) return tree.expression = "tags : " + QuoteFts5(tags[0]);
        std::string any;
        for (const std::string& tag : tags)
            any += (any.empty() ? "" : " OR ") + QuoteFts5(tag);
        return tree.expression = "tags : (" + any + ")";
    }
    default:
        break;
    }
    const char* op = node.kind == Node::And ? " AND " : node.kind == Node::Or ? " OR " : " NOT ";
    tree.kind = node.kind == Node::And  ? SearchNode::And
                : node.kind == Node::Or ? SearchNode::Or
                                        : SearchNode::Not;
    tree.operands.resize(node.operands.size());
    std::string out = "(";
    for (std::size_t i = 0; i < node.operands.size(); ++i)
        out += (i ? op : "") + Write(node.operands[i], phrases, tree.operands[i],
                                     ranked && (i == 0 || node.kind != Node::Not));
    return out + ")";
}

// Whether words found in these columns count for Best Match.
bool Ranked(std::string_view columns) {
    for (const char* column : {"title", "abstract", "mesh", "keywords"})
        if (columns.find(column) != std::string_view::npos) return true;
    return false;
}

// NLM's language codes and the English names they are searched by.
const char* LanguageCode(const std::string& name) {
    static const std::pair<const char*, const char*> kLanguages[] = {
        {"afrikaans", "afr"},  {"albanian", "alb"},    {"arabic", "ara"},
        {"armenian", "arm"},   {"azerbaijani", "aze"}, {"bengali", "ben"},
        {"bosnian", "bos"},    {"bulgarian", "bul"},   {"catalan", "cat"},
        {"chinese", "chi"},    {"croatian", "hrv"},    {"czech", "cze"},
        {"danish", "dan"},     {"dutch", "dut"},       {"english", "eng"},
        {"esperanto", "epo"},  {"estonian", "est"},    {"finnish", "fin"},
        {"french", "fre"},     {"georgian", "geo"},    {"german", "ger"},
        {"greek", "gre"},      {"hebrew", "heb"},      {"hindi", "hin"},
        {"hungarian", "hun"},  {"icelandic", "ice"},   {"indonesian", "ind"},
        {"irish", "gle"},      {"italian", "ita"},     {"japanese", "jpn"},
        {"korean", "kor"},     {"latin", "lat"},       {"latvian", "lav"},
        {"lithuanian", "lit"}, {"macedonian", "mac"},  {"malay", "may"},
        {"maori", "mao"},      {"multiple", "mul"},    {"norwegian", "nor"},
        {"persian", "per"},    {"polish", "pol"},      {"portuguese", "por"},
        {"romanian", "rum"},   {"russian", "rus"},     {"sanskrit", "san"},
        {"serbian", "srp"},    {"slovak", "slo"},      {"slovenian", "slv"},
        {"spanish", "spa"},    {"swedish", "swe"},     {"thai", "tha"},
        {"turkish", "tur"},    {"ukrainian", "ukr"},   {"undetermined", "und"},
        {"urdu", "urd"},       {"vietnamese", "vie"},  {"welsh", "wel"}};
    for (const auto& [english, code] : kLanguages)
        if (name == english) return code;
    return nullptr;
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
        if (token->kind == Token::Word && ToLowerAscii(token->text) == "hasabstract")
            return FilterLeaf(token->text);
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
        leaf.words = true;
        leaf.text = text;
        leaf.columns = columns;
        leaf.prefix = prefix;
        leaf.leaf = std::string(columns) + " : " + QuoteFts5(text) + (prefix ? " *" : "");
        leaf.terms = std::max(1, TermsIn(text)) + (prefix ? kPrefixTerms - 1 : 0);
        leaf.phrases = {Ranked(columns) ? leaf.leaf : std::string()};
        return leaf;
    }

    // Tokens of the tags column, any of which matches (none: the words name nothing).
    static Node TagTokens(const std::vector<std::string>& tokens, bool prefix = false) {
        Node leaf(Node::Leaf);
        std::string any;
        for (const std::string& token : tokens) {
            if (token.empty()) continue;
            any += (any.empty() ? "" : " OR ") + QuoteFts5(token) + (prefix ? " *" : "");
            leaf.phrases.emplace_back();
            leaf.terms += prefix ? kPrefixTerms : 1;
        }
        if (any.empty()) return Node();
        leaf.grouped = leaf.phrases.size() > 1;
        leaf.leaf = "tags : " + (leaf.grouped ? "(" + any + ")" : any);
        return leaf;
    }

    // One whole value of a field ("journal article[pt]"); with '*' after at least four
    // characters, every value that begins so.
    static Node ValueLeaf(std::string_view kind, std::string text, std::string_view separator = {},
                          std::string second = {}) {
        std::string& last = separator.empty() ? text : second;
        bool prefix = false;
        if (!last.empty() && last.back() == '*') {
            last.pop_back();
            prefix = CharactersOfLastWord(last) >= kMinPrefix;
        }
        const std::string token = separator.empty()
                                      ? ValueToken(kind, text, !prefix)
                                      : ValueToken(kind, text, separator, second, !prefix);
        return TagTokens({token}, prefix);
    }

    // "heart failure" or "heart failure/drug therapy".
    static Node MeshLeaf(std::string_view kind, const std::string& text) {
        const std::size_t slash = text.find('/');
        if (slash == std::string::npos) return ValueLeaf(kind, text);
        return ValueLeaf(kind, text.substr(0, slash), marker::kQualifier, text.substr(slash + 1));
    }

    // "smith" (any initials), "smith j" (initials beginning with J, or the last name
    // "Smith J"), "writing group" (a group's name).
    static Node AuthorLeaf(std::string_view kind, std::string text) {
        while (!text.empty() && text.back() == '*')
            text.pop_back();
        const std::vector<std::string_view> words = Words(text);
        if (words.empty()) return Node();
        std::vector<std::string> tokens = {ValueToken(kind, text)};
        if (words.size() >= 2 && CharactersOfLastWord(words.back()) <= 4) {
            std::string lastName;
            for (std::size_t i = 0; i + 1 < words.size(); ++i)
                (lastName += lastName.empty() ? "" : " ") += words[i];
            tokens.push_back(ValueToken(kind, lastName, marker::kInitials, words.back()));
        }
        return TagTokens(tokens);
    }

    static std::optional<Node> FilterLeaf(const std::string& text) {
        const std::string lower = ToLowerAscii(text);
        std::string name;
        for (std::string_view word : Words(lower))
            (name += name.empty() ? "" : " ") += word;
        if (name == "free full text") return TagTokens({kFreeFullTextTag});
        if (name == "hasabstract" || name == "has abstract") return TagTokens({kHasAbstractTag});
        return std::nullopt;
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
        if (tag == "mh" || tag == "mesh" || tag == "mesh terms" || tag == "mesh term")
            return MeshLeaf(marker::kMesh, text);
        if (tag == "majr" || tag == "mesh major topic") return MeshLeaf(marker::kMajor, text);
        if (tag == "pt" || tag == "publication type") return ValueLeaf(marker::kType, text);
        if (tag == "la" || tag == "lang" || tag == "language") {
            const std::string name = ToLowerAscii(text);
            const char* code = LanguageCode(name);
            return ValueLeaf(marker::kLanguage, code ? code : name);
        }
        if (tag == "ta" || tag == "journal" || tag == "jour")
            return ValueLeaf(marker::kJournal, text);
        if (tag == "ad" || tag == "affiliation" || tag == "affl")
            return Leaf("affiliations", text, true);
        if (tag == "1au" || tag == "first author" || tag == "first author name")
            return AuthorLeaf(marker::kFirst, text);
        if (tag == "lastau" || tag == "last author" || tag == "last author name")
            return AuthorLeaf(marker::kLast, text);
        if (tag == "kw" || tag == "ot" || tag == "keyword" || tag == "keywords" ||
            tag == "other term")
            return Leaf("keywords", text, true);
        if (tag == "sb" || tag == "filter" || tag == "subset") return FilterLeaf(text);
        return std::nullopt;
    }

    static Result PmidLeaf(const std::string& text) {
        if (text.empty() || text.size() > 9 ||
            text.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        return TagTokens({"p" + std::to_string(std::stoll(text))});
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
        const std::string phrase = std::string(kAllColumns) + " : " + QuoteFts5(word);
        search.match += (search.match.empty() ? "" : " AND ") + phrase;
        SearchNode leaf;
        leaf.kind = SearchNode::Phrase;
        leaf.phrase = static_cast<int>(search.phrases.size());
        leaf.text = std::string(word);
        leaf.columns = kAllColumns;
        leaf.expression = phrase;
        search.phrases.push_back(phrase);
        if (search.tree.empty()) {
            search.tree.emplace_back();
            search.tree[0].kind = SearchNode::And;
        }
        search.tree[0].operands.push_back(std::move(leaf));
    }
    return search;
}

} // namespace

std::string QuoteFts5(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + '"';
}

Search BuildSearch(std::string_view query) {
    // A NUL would end the expression inside FTS5 ("unterminated string"); no control
    // byte means anything in a search, so all of them are spaces.
    // The index's own markers are no text anyone searches for.
    std::string text = WithoutMarkers(query);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    if (auto tokens = Tokenize(text)) {
        if (tokens->empty()) return {};
        if (auto tree = Parser(std::move(*tokens)).Parse()) {
            Search search;
            TakeTopSpans(*tree, search);
            if (Depth(*tree) <= kMaxDepth && Terms(*tree) <= kMaxTerms) {
                search.tree.emplace_back();
                search.match = Write(*tree, search.phrases, search.tree[0]);
                if (search.match.empty()) search.tree.clear();
                return search;
            }
        }
    }
    return PlainWords(text);
}

} // namespace tamix::server
