// PubMed-style queries (AND, OR, NOT, parentheses, quoted phrases, field tags, '*'
// truncation) rebuilt as FTS5 MATCH expressions in which every piece of user text is a
// quoted string, so nothing the user types reaches FTS5's own query language.
#pragma once

#include <string>
#include <string_view>

namespace tamix::server {

// The MATCH expression for the query; "" when nothing in it can match (no words). A
// query that does not parse (unbalanced parentheses, an unknown tag, a dangling
// operator) is searched as the plain words it holds.
std::string BuildMatch(std::string_view query);

} // namespace tamix::server
