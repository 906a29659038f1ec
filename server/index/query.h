// PubMed-style queries (AND, OR, NOT, parentheses, quoted phrases, field tags, '*'
// truncation) rebuilt as FTS5 MATCH expressions in which every piece of user text is a
// quoted string, so nothing the user types reaches FTS5's own query language. The work
// one query may cause is bounded: a few dozen searched terms, a shallow expression.
#pragma once

#include "server/index/index.h"

#include <string>
#include <string_view>

namespace tamix::server {

// The search for the query. A query that does not parse (unbalanced parentheses, an
// unknown tag, a dangling operator, nesting or terms past the bounds) is searched as the
// plain words it holds. Control bytes (NUL included) count as spaces.
Search BuildSearch(std::string_view query);

// An FTS5 string literal: the text in double quotes, its quotes doubled.
std::string QuoteFts5(std::string_view text);

// Where words without a tag are searched, and where Best Match counts them.
inline constexpr const char* kAllColumns = "{title abstract authors mesh keywords}";
inline constexpr const char* kRankedColumns = "{title abstract mesh keywords}";

} // namespace tamix::server
