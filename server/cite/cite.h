// Citations of records for reference managers: RIS, BibTeX (biblatex fields), MEDLINE
// tagged text (.nbib, as PubMed's "Send to citation manager" writes it) and CSL-JSON.
// Text stays UTF-8 in every format; only BibTeX escapes, and only what LaTeX reads as
// markup.
#pragma once

#include "server/records/article.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamix::server {

enum class CitationFormat { Ris, Bibtex, Nbib, Csl };

// "ris", "bibtex", "nbib", "csl"; nullopt for anything else.
std::optional<CitationFormat> ParseCitationFormat(std::string_view name);
const char* CitationFormatName(CitationFormat format);
// The media type, with its charset.
const char* CitationContentType(CitationFormat format);
// "ris", "bib", "nbib", "json": the file name's ending.
const char* CitationExtension(CitationFormat format);

// The records in the format, in order.
std::string FormatCitations(const std::vector<Article>& articles, CitationFormat format);

// MEDLINE's abbreviated page ranges written out: "1201-10" as "1201-1210", "e23-9" as
// "e23-e29"; lists ("1-5, 9-12") range by range; anything else as it is.
std::string FullPages(std::string_view pages);

// "Cardiol Quart. 2021 Jun 14;44(7):1201-1210.": journal, date, volume(issue):pages,
// each part only when known.
std::string CitationLine(const Article& article);

} // namespace tamix::server
