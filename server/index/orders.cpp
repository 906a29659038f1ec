#include "server/index/orders.h"

#include "server/index/words.h"

#include <algorithm>
#include <limits>
#include <tuple>

namespace tamix::server {

const char* const kOrdersSchema = R"sql(
CREATE TABLE order_node(kind INTEGER NOT NULL, level INTEGER NOT NULL, node BLOB NOT NULL,
    records INTEGER NOT NULL, PRIMARY KEY(kind, level, node)) WITHOUT ROWID;
)sql";

namespace {

// Markers of the two orders' tokens (words.h keeps U+E000..U+E009 and U+E00F).
constexpr std::string_view kAuthorOrder = "\xEE\x80\x8A"; // U+E00A
constexpr std::string_view kJournalOrder = "\xEE\x80\x8B"; // U+E00B

// The name ended by a NUL and padded with NULs to a whole level (2, 4, 8 ... bytes), at
// most kLongestPrefix bytes: NUL sorts before every byte of a name, so a name comes before
// the longer names it begins.
std::string Padded(std::string_view name) {
    std::string padded(name.substr(0, kLongestPrefix));
    if (padded.size() < kLongestPrefix) padded += '\0';
    std::size_t level = 2;
    while (level < padded.size())
        level *= 2;
    padded.resize(std::min(level, kLongestPrefix), '\0');
    return padded;
}

} // namespace

std::string OrderToken(SortColumn column, std::string_view prefix) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string token(column == SortColumn::FirstAuthor ? kAuthorOrder : kJournalOrder);
    // Grown a character at a time, a record's ten tokens were some 5,000 instructions.
    token.reserve(token.size() + 2 * prefix.size() + marker::kEnd.size());
    std::size_t at = token.size();
    token.resize(at + 2 * prefix.size());
    for (const char c : prefix) {
        const auto byte = static_cast<unsigned char>(c);
        token[at++] = kHex[byte >> 4];
        token[at++] = kHex[byte & 15];
    }
    // Ending in a marker, the token escapes the stemmer.
    return token += marker::kEnd;
}

std::vector<std::string> OrderTokens(SortColumn column, std::string_view name) {
    // A record without a name has one token, so that those come last at little cost.
    if (name.empty()) return {OrderToken(column, "")};
    std::vector<std::string> tokens;
    const std::string padded = Padded(name);
    for (std::size_t level = 2; level <= padded.size(); level *= 2)
        tokens.push_back(OrderToken(column, std::string_view(padded).substr(0, level)));
    return tokens;
}

void OrderCounts::Add(SortColumn column, std::string_view name, int change) {
    if (name.empty()) return;
    const std::string padded = Padded(name);
    const char kind = column == SortColumn::FirstAuthor ? 1 : 2;
    for (std::size_t level = 2; level <= padded.size(); level *= 2) {
        key_.assign(1, kind).append(padded, 0, level);
        changes_.try_emplace(key_, 0).first->second += change;
    }
}

void OrderCounts::Flush(Database& db) {
    if (changes_.empty()) return;
    Statement add = db.Prepare(
        "INSERT INTO order_node VALUES(?1, ?2, ?3, ?4) ON CONFLICT(kind, level, node) DO "
        "UPDATE SET records = records + excluded.records");
    // In the table's order (column, level, prefix): its pages are written one after another.
    std::vector<std::pair<std::string_view, std::int64_t>> sorted(changes_.begin(), changes_.end());
    std::sort(sorted.begin(), sorted.end(), [](const auto& x, const auto& y) {
        return std::make_tuple(x.first[0], x.first.size(), x.first) <
               std::make_tuple(y.first[0], y.first.size(), y.first);
    });
    for (const auto& [key, change] : sorted) {
        if (change == 0) continue;
        const std::string_view node = std::string_view(key).substr(1);
        add.Bind(1, std::int64_t{key[0]}).Bind(2, static_cast<std::int64_t>(node.size()));
        add.BindBlob(3, node).Bind(4, change).Run();
    }
    changes_.clear();
}

namespace {

class Walk {
public:
    Walk(SortColumn column, const OrderSource& source, int limit)
        : column_(column), source_(source), limit_(static_cast<std::size_t>(limit)) {}

    // known: what the walk knows of the prefix's matches without asking FTS5, -1 for
    // nothing: their count up to kGathered + 1, or at most kGathered of them.
    void Visit(const std::string& prefix, std::size_t level, int known = -1) {
        // At the top, every match (those without a name are left out when gathered).
        const std::string token = level == 0 ? std::string() : OrderToken(column_, prefix);
        // A prefix that holds the name's end is one name: its matches come newest first.
        if (level > 0 && prefix.find('\0') != std::string::npos) {
            for (const std::int64_t key : source_.keys(token, static_cast<int>(Left())))
                out.push_back(key);
            return;
        }
        const int count = known >= 0 ? known : source_.count(token, kGathered + 1);
        if (count == 0) return;
        if (count <= kGathered || level == kLongestPrefix) {
            Gather(token, count > kGathered);
            return;
        }
        const std::size_t next = level == 0 ? 2 : level * 2;
        const std::vector<OrderNode> children = source_.children(prefix, next);
        for (const OrderNode& child : children) {
            // An only child holds all its parent's matches; one with few records holds
            // few, and gathering them tells how many: both spare FTS5 a count.
            if (children.size() == 1)
                Visit(child.prefix, next, count);
            else if (child.records <= kGathered)
                Visit(child.prefix, next, static_cast<int>(child.records));
            else
                Visit(child.prefix, next);
            if (Left() == 0) return;
        }
    }

    std::vector<std::int64_t> out;

private:
    std::size_t Left() const { return out.size() < limit_ ? limit_ - out.size() : 0; }

    // The matches under the token, sorted by their names here.
    void Gather(const std::string& token, bool all) {
        const std::vector<std::int64_t> keys =
            source_.keys(token, all ? std::numeric_limits<int>::max() : kGathered + 1);
        const std::vector<std::string> names = source_.names(keys);
        std::vector<std::size_t> order(std::min(keys.size(), names.size()));
        for (std::size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
            // Names are compared as SQLite compares the nodes: byte by byte.
            return names[x] != names[y] ? names[x] < names[y] : keys[x] < keys[y];
        });
        for (std::size_t i = 0; i < order.size() && Left() > 0; ++i)
            if (!names[order[i]].empty()) out.push_back(keys[order[i]]);
    }

    SortColumn column_;
    const OrderSource& source_;
    std::size_t limit_;
};

} // namespace

std::vector<std::int64_t> NamedInOrder(SortColumn column, const OrderSource& source, int limit) {
    if (limit <= 0) return {};
    Walk walk(column, source, limit);
    walk.Visit("", 0);
    return std::move(walk.out);
}

} // namespace tamix::server
