// Readers of NLM's PubMed XML (PubmedArticleSet, with DeleteCitation) and of MEDLINE
// text exports (.txt, .nbib), plain or gzip-compressed, streamed in small pieces.
#pragma once

#include "server/records/article.h"

#include <string>
#include <string_view>

namespace tamix::server {

// Reads one file ("-": standard input), handing each record to the sink as soon as it is
// complete. Returns false, with a message naming file and line in error, when the file
// cannot be read to its end; the records handed on before that stand. Records that cannot
// be indexed (no PMID, say) go to sink.onSkip and the reading goes on.
bool ReadRecordFile(const std::string& path, const RecordSink& sink, std::string& error);

bool ReadPubmedXml(const std::string& path, const RecordSink& sink, std::string& error);
bool ReadMedline(const std::string& path, const RecordSink& sink, std::string& error);

// The same over text already in memory (plain, not compressed); name stands for the file
// in messages.
bool ReadRecordText(std::string_view text, const std::string& name, const RecordSink& sink,
                    std::string& error);
bool ReadPubmedXmlText(std::string_view text, const std::string& name, const RecordSink& sink,
                       std::string& error);
bool ReadMedlineText(std::string_view text, const std::string& name, const RecordSink& sink,
                     std::string& error);

} // namespace tamix::server
