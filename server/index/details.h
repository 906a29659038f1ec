// The parts of a record that only its own page and its citations show (the author list
// with affiliations, MeSH headings, journal details, languages, types, keywords), kept in
// one compact column: no query reads them, so they need no columns of their own.
#pragma once

#include "server/records/article.h"

#include <string>
#include <string_view>

namespace tamix::server {

// Lengths and counts as varints, strings as their bytes, affiliations shared by several
// authors written once.
std::string EncodeDetails(const Article& article);
// Fills what EncodeDetails wrote into the article; false when the bytes are not such a
// record (a damaged index), leaving those fields in an unspecified state.
bool DecodeDetails(std::string_view bytes, Article& article);

} // namespace tamix::server
