#include "server/records/readers.h"

#include "server/records/source.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tamix::server {

namespace {

// The lines of a source without their line breaks (LF or CRLF). A NUL byte reads as a
// space: records reach pages that the browser reads only up to their first NUL.
class LineReader {
public:
    explicit LineReader(ByteSource& source) : source_(source), buffer_(1 << 16) {}

    // False at the end of the source or on an error (Failed() tells which).
    bool Next(std::string& line) {
        line.clear();
        bool any = false;
        for (;;) {
            if (pos_ == end_ && !Fill()) break;
            any = true;
            const char* from = buffer_.data() + pos_;
            const auto* newline = static_cast<const char*>(std::memchr(from, '\n', end_ - pos_));
            const std::size_t stop =
                newline ? static_cast<std::size_t>(newline - buffer_.data()) : end_;
            line.append(from, stop - pos_);
            pos_ = newline ? stop + 1 : stop;
            if (newline) break;
        }
        if (!any) return false;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        std::replace(line.begin(), line.end(), '\0', ' ');
        return true;
    }
    bool Failed() const { return failed_; }

private:
    bool Fill() {
        if (failed_) return false;
        const long got = source_.Read(buffer_.data(), buffer_.size());
        failed_ = got < 0;
        pos_ = 0;
        end_ = got > 0 ? static_cast<std::size_t>(got) : 0;
        return got > 0;
    }

    ByteSource& source_;
    std::vector<char> buffer_;
    std::size_t pos_ = 0, end_ = 0;
    bool failed_ = false;
};

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

bool ReadMedlineFrom(ByteSource& source, const std::string& name, const RecordSink& sink,
                     std::string& error) {
    LineReader lines(source);
    MedlineRecord record;
    std::string line;
    long lineNumber = 0;
    long recordLine = 0;
    while (lines.Next(line)) {
        ++lineNumber;
        const std::string trimmed = TrimRight(line);
        if (trimmed.empty()) {
            record.Finish(name, recordLine, sink);
            continue;
        }
        if (trimmed.size() >= 6 && trimmed.compare(0, 6, "      ") == 0) {
            record.Continue(trimmed.substr(trimmed.find_first_not_of(' ')));
            continue;
        }
        // "TAG - value": the tag in the first four columns, "- " in columns 5 and 6.
        if (trimmed.size() < 5 || trimmed[4] != '-') {
            if (sink.onSkip)
                sink.onSkip(SourcePosition{name, lineNumber}, "not a MEDLINE field line");
            continue;
        }
        const std::string tag = TrimRight(trimmed.substr(0, 4));
        const std::string value = trimmed.size() > 6 ? trimmed.substr(6) : std::string();
        if (tag == "PMID" && !record.Empty()) record.Finish(name, recordLine, sink);
        if (record.Empty()) recordLine = lineNumber;
        record.Field(tag, value);
    }
    const std::string message = source.Error();
    if (lines.Failed() || !message.empty()) {
        error = name + ":" + std::to_string(lineNumber) + ": " + message;
        return false;
    }
    record.Finish(name, recordLine, sink);
    return true;
}

// XML starts with '<' (after an optional byte-order mark and white space); a MEDLINE
// export starts with a field line. Sniffed, not guessed from the name.
bool LooksLikeXml(std::string_view head) {
    if (head.substr(0, 3) == "\xEF\xBB\xBF") head.remove_prefix(3);
    const auto first = head.find_first_not_of(" \t\r\n");
    return first != std::string_view::npos && head[first] == '<';
}

constexpr std::size_t kSniffBytes = 512;

} // namespace

bool ReadMedline(const std::string& path, const RecordSink& sink, std::string& error) {
    GzSource file(path);
    if (!file.IsOpen()) {
        error = path + ": cannot open";
        return false;
    }
    return ReadMedlineFrom(file, path, sink, error);
}

bool ReadMedlineText(std::string_view text, const std::string& name, const RecordSink& sink,
                     std::string& error) {
    MemorySource source(text);
    return ReadMedlineFrom(source, name, sink, error);
}

bool ReadRecordFile(const std::string& path, const RecordSink& sink, std::string& error) {
    char head[kSniffBytes];
    long got = 0;
    {
        GzSource file(path);
        if (!file.IsOpen()) {
            error = path + ": cannot open";
            return false;
        }
        got = file.Read(head, sizeof head);
        if (got < 0) {
            error = path + ": " + file.Error();
            return false;
        }
    }
    if (LooksLikeXml(std::string_view(head, static_cast<std::size_t>(got))))
        return ReadPubmedXml(path, sink, error);
    return ReadMedline(path, sink, error);
}

bool ReadRecordText(std::string_view text, const std::string& name, const RecordSink& sink,
                    std::string& error) {
    if (LooksLikeXml(text.substr(0, kSniffBytes)))
        return ReadPubmedXmlText(text, name, sink, error);
    return ReadMedlineText(text, name, sink, error);
}

} // namespace tamix::server
