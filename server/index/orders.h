// The first-author and journal orders over every match. A record's name (SortName) is
// kept in the full-text index as tokens of its prefixes, 2, 4, 8, 16 ... bytes long, the
// last holding the whole name; a table counts the records under each prefix. A page walks
// the prefixes in order: where a search's matches under a prefix are few, they are
// gathered and sorted; where many, the walk goes down to the names, whose matches FTS5
// gives in sort key order, newest first. So a page reads what its records need, however
// many match: a common word's first page by author is found under the first names.
#pragma once

#include "server/index/sqlite.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tamix::server {

enum class SortColumn { FirstAuthor, Journal };

// The table, for the index's schema.
extern const char* const kOrdersSchema;

// A name's tokens in the tags column: one for each prefix; for an empty name, the column's
// token of records without one.
std::vector<std::string> OrderTokens(SortColumn column, std::string_view name);
// The token of one prefix (as OrderTokens makes them), or for "" that of no name.
std::string OrderToken(SortColumn column, std::string_view prefix);

// Counts the records under each prefix as records come and go, for one transaction.
class OrderCounts {
public:
    void Add(SortColumn column, std::string_view name, int change);
    // Writes the counts; call in the transaction.
    void Flush(Database& db);
    void Forget() { changes_.clear(); }

private:
    // Column byte + prefix. Hashed: an import adds ten prefixes a record, and in an ordered
    // map of some 100,000 each look-up compared some 17 strings.
    std::unordered_map<std::string, std::int64_t> changes_;
    std::string key_;
};

// A prefix and the records under it, as the table counts them.
struct OrderNode {
    std::string prefix;
    std::int64_t records = 0;
};

// What the walk asks of the index.
struct OrderSource {
    // Matches under the token (with the search; all of them for ""), counted up to limit.
    std::function<int(const std::string& token, int limit)> count;
    // Their sort keys in sort key order, at most limit.
    std::function<std::vector<std::int64_t>(const std::string& token, int limit)> keys;
    // The name of each record of those keys, as sort_name keeps it.
    std::function<std::vector<std::string>(const std::vector<std::int64_t>& keys)> names;
    // The prefixes one level below prefix that hold records, in order.
    std::function<std::vector<OrderNode>(const std::string& prefix, std::size_t length)> children;
};

// The sort keys of the first limit named matches in the column's order (name, then newest
// first). Records without a name come after these; the caller adds them.
std::vector<std::int64_t> NamedInOrder(SortColumn column, const OrderSource& source, int limit);

// Where a name stops being one token of its own, and the most matches gathered and sorted.
inline constexpr std::size_t kLongestPrefix = 256;
inline constexpr int kGathered = 128;

} // namespace tamix::server
