#include "server/records/readers.h"

#include "server/records/gzfile.h"

#include <zlib.h>

#include <cstring>
#include <memory>

namespace tamix::server {

namespace {

// One line without its line break (LF or CRLF); false at the end of the file.
bool ReadLine(gzFile file, std::string& line) {
    line.clear();
    char buffer[4096];
    while (gzgets(file, buffer, sizeof buffer)) {
        line += buffer;
        if (!line.empty() && line.back() == '\n') break;
    }
    if (line.empty()) return false;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return true;
}

std::string TrimRight(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    return text;
}

// A MEDLINE record while it is read: its fields in file order.
class MedlineRecord {
public:
    void Field(const std::string& tag, const std::string& value) {
        tag_ = tag;
        if (tag == "PMID") {
            pmidText_ = value;
        } else if (tag == "TI") {
            Append(article_.title, value);
        } else if (tag == "AB") {
            Append(article_.abstract, value);
        } else if (tag == "AU") {
            AppendAuthor(shortAuthors_, value);
        } else if (tag == "FAU") {
            AppendAuthor(fullAuthors_, value);
        } else if (tag == "TA") {
            abbreviation_ = value;
        } else if (tag == "JT") {
            journal_ = value;
        } else if (tag == "DP") {
            article_.pubdate = value;
        } else if (tag == "AID" || tag == "LID") {
            const std::string marker = " [doi]";
            if (value.size() > marker.size() &&
                value.compare(value.size() - marker.size(), marker.size(), marker) == 0 &&
                article_.doi.empty())
                article_.doi = value.substr(0, value.size() - marker.size());
        } else if (tag == "PMC") {
            article_.pmcid = value;
        }
        touched_ = true;
    }

    // A continuation line belongs to the field above it.
    void Continue(const std::string& text) {
        if (tag_ == "TI")
            Append(article_.title, text);
        else if (tag_ == "AB")
            Append(article_.abstract, text);
        else if (tag_ == "PMID")
            pmidText_ += text;
        else if (tag_ == "DP")
            Append(article_.pubdate, text);
        else if (tag_ == "JT")
            Append(journal_, text);
    }

    bool Empty() const { return !touched_; }

    // Hands the record on (or reports it) and starts afresh.
    void Finish(const std::string& file, long line, const RecordSink& sink) {
        if (!touched_) return;
        if (!ParsePmid(pmidText_, article_.pmid)) {
            if (sink.onSkip)
                sink.onSkip(SourcePosition{file, line}, pmidText_.empty() ? "no PMID" : "bad PMID");
        } else if (article_.pmid > kMaxPmid) {
            if (sink.onSkip) sink.onSkip(SourcePosition{file, line}, TooLongPmid(article_.pmid));
        } else {
            article_.authors = shortAuthors_.empty() ? fullAuthors_ : shortAuthors_;
            article_.journal = abbreviation_.empty() ? journal_ : abbreviation_;
            ParsePubDate(article_);
            if (sink.onArticle) sink.onArticle(std::move(article_));
        }
        *this = MedlineRecord{};
    }

private:
    static void Append(std::string& field, const std::string& text) {
        if (!field.empty() && !text.empty()) field += ' ';
        field += text;
    }
    static void AppendAuthor(std::string& list, const std::string& name) {
        if (name.empty()) return;
        if (!list.empty()) list += ", ";
        list += name;
    }

    Article article_;
    std::string tag_, pmidText_, shortAuthors_, fullAuthors_, abbreviation_, journal_;
    bool touched_ = false;
};

} // namespace

bool ReadMedline(const std::string& path, const RecordSink& sink, std::string& error) {
    GzFile file = OpenGz(path);
    if (!file) {
        error = path + ": cannot open";
        return false;
    }
    MedlineRecord record;
    std::string line;
    long lineNumber = 0;
    long recordLine = 0;
    while (ReadLine(file.get(), line)) {
        ++lineNumber;
        const std::string trimmed = TrimRight(line);
        if (trimmed.empty()) {
            record.Finish(path, recordLine, sink);
            continue;
        }
        if (trimmed.size() >= 6 && trimmed.compare(0, 6, "      ") == 0) {
            record.Continue(trimmed.substr(trimmed.find_first_not_of(' ')));
            continue;
        }
        // "TAG - value": the tag in the first four columns, "- " in columns 5 and 6.
        if (trimmed.size() < 5 || trimmed[4] != '-') {
            if (sink.onSkip)
                sink.onSkip(SourcePosition{path, lineNumber}, "not a MEDLINE field line");
            continue;
        }
        const std::string tag = TrimRight(trimmed.substr(0, 4));
        const std::string value = trimmed.size() > 6 ? trimmed.substr(6) : std::string();
        if (tag == "PMID" && !record.Empty()) record.Finish(path, recordLine, sink);
        if (record.Empty()) recordLine = lineNumber;
        record.Field(tag, value);
    }
    int code = 0;
    const char* message = gzerror(file.get(), &code);
    if (code != Z_OK && code != Z_STREAM_END) {
        error = path + ":" + std::to_string(lineNumber) + ": " + message;
        return false;
    }
    record.Finish(path, recordLine, sink);
    return true;
}

bool ReadRecordFile(const std::string& path, const RecordSink& sink, std::string& error) {
    // Sniffed, not guessed from the name: a MEDLINE export starts with a field line,
    // XML with '<' (after an optional byte-order mark and white space).
    GzFile file = OpenGz(path);
    if (!file) {
        error = path + ": cannot open";
        return false;
    }
    char head[512];
    const int got = gzread(file.get(), head, sizeof head);
    if (got < 0) {
        int code = 0;
        error = path + ": " + gzerror(file.get(), &code);
        return false;
    }
    std::string_view start(head, static_cast<std::size_t>(got));
    if (start.substr(0, 3) == "\xEF\xBB\xBF") start.remove_prefix(3);
    const auto first = start.find_first_not_of(" \t\r\n");
    file.reset();
    if (first != std::string_view::npos && start[first] == '<')
        return ReadPubmedXml(path, sink, error);
    return ReadMedline(path, sink, error);
}

} // namespace tamix::server
