#include "server/records/readers.h"

#include "server/records/source.h"

#include <unistd.h>

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

// "Smith JA Jr": the suffixes MEDLINE writes after the initials.
bool IsNameSuffix(const std::string& word) {
    static const char* const kSuffixes[] = {"Jr", "Sr", "2nd", "3rd", "4th", "II", "III", "IV"};
    for (const char* suffix : kSuffixes)
        if (word == suffix) return true;
    return false;
}

// "1467-5463 (Print)": the ISSN and its kind, "" when none is written.
void SplitIssn(const std::string& value, std::string& issn, std::string& kind) {
    const std::size_t open = value.find(" (");
    issn = value.substr(0, open);
    kind.clear();
    if (open != std::string::npos && value.back() == ')')
        kind = value.substr(open + 2, value.size() - open - 3);
}

// "Heart Failure/*drug therapy/physiopathology": a star marks a major topic.
MeshHeading ParseMeshHeading(const std::string& value) {
    MeshHeading heading;
    std::size_t start = 0;
    for (bool first = true; start <= value.size(); first = false) {
        const std::size_t slash = std::min(value.find('/', start), value.size());
        std::string part = value.substr(start, slash - start);
        const bool major = !part.empty() && part[0] == '*';
        if (major) part.erase(0, 1);
        if (first) {
            heading.descriptor = part;
            heading.major = major;
        } else if (!part.empty()) {
            heading.qualifiers.push_back({part, major});
        }
        start = slash + 1;
    }
    return heading;
}

// "20060110" as year, month and day; zeros when it does not read so.
void ParseCompactDate(const std::string& text, int& year, int& month, int& day) {
    year = month = day = 0;
    if (text.size() < 8 || text.find_first_not_of("0123456789") < 8) return;
    year = std::stoi(text.substr(0, 4));
    month = std::stoi(text.substr(4, 2));
    day = std::stoi(text.substr(6, 2));
    if (year < 1 || month < 1 || month > 12) year = month = day = 0;
    if (day < 1 || day > 31) day = 0;
}

// A MEDLINE record while it is read: its fields in file order.
class MedlineRecord {
public:
    void Field(const std::string& tag, const std::string& value) {
        tag_ = tag;
        continued_ = nullptr;
        if (tag == "PMID") {
            pmidText_ = value;
        } else if (tag == "TI") {
            Append(article_.title, value);
            continued_ = &article_.title;
        } else if (tag == "AB") {
            Append(article_.abstract, value);
            continued_ = &article_.abstract;
        } else if (tag == "FAU") {
            // "Casbon, James A" (", Jr" may follow): a new author, whose AU line follows.
            Author author;
            const std::size_t comma = value.find(", ");
            author.lastName = value.substr(0, comma);
            if (comma != std::string::npos) {
                author.foreName = value.substr(comma + 2);
                const std::size_t second = author.foreName.find(", ");
                if (second != std::string::npos) {
                    author.suffix = author.foreName.substr(second + 2);
                    author.foreName.erase(second);
                }
            }
            AddAuthor(std::move(author));
            awaitingAu_ = true;
        } else if (tag == "AU") {
            ReadAu(value);
        } else if (tag == "CN") {
            Author group;
            group.collectiveName = value;
            AddAuthor(std::move(group));
            continued_ = &article_.authorList.back().collectiveName;
        } else if (tag == "AD") {
            std::vector<std::string>& list = article_.authorList.empty()
                                                 ? pendingAffiliations_
                                                 : article_.authorList.back().affiliations;
            list.push_back(value);
            continued_ = &list.back();
        } else if (tag == "TA") {
            article_.medlineTa = value;
        } else if (tag == "JT") {
            article_.journalTitle = value;
            continued_ = &article_.journalTitle;
        } else if (tag == "IS") {
            std::string issn, kind;
            SplitIssn(value, issn, kind);
            if (kind == "Electronic")
                article_.issnElectronic = issn;
            else if (kind != "Linking" && article_.issnPrint.empty())
                article_.issnPrint = issn;
        } else if (tag == "VI") {
            article_.volume = value;
        } else if (tag == "IP") {
            article_.issue = value;
        } else if (tag == "PG") {
            article_.pages = value;
        } else if (tag == "DP") {
            article_.pubdate = value;
            continued_ = &article_.pubdate;
        } else if (tag == "DEP") {
            ParseCompactDate(value, article_.electronicYear, article_.electronicMonth,
                             article_.electronicDay);
        } else if (tag == "LA") {
            AddTo(article_.languages, value);
        } else if (tag == "PT") {
            AddTo(article_.publicationTypes, value);
        } else if (tag == "OT") {
            AddTo(article_.keywords, value);
        } else if (tag == "MH") {
            AddTo(meshLines_, value);
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
        if (tag_ == "PMID")
            pmidText_ += text;
        else if (continued_)
            Append(*continued_, text);
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
            // Older records name one affiliation before the authors: the first author's.
            if (!pendingAffiliations_.empty() && !article_.authorList.empty() &&
                article_.authorList[0].affiliations.empty())
                article_.authorList[0].affiliations = std::move(pendingAffiliations_);
            for (const std::string& line : meshLines_)
                if (MeshHeading heading = ParseMeshHeading(line); !heading.descriptor.empty())
                    article_.mesh.push_back(std::move(heading));
            article_.authors = AuthorsDisplay(article_.authorList);
            article_.journal =
                article_.medlineTa.empty() ? article_.journalTitle : article_.medlineTa;
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
    void AddTo(std::vector<std::string>& list, const std::string& value) {
        if (value.empty()) return;
        list.push_back(value);
        continued_ = &list.back();
    }
    void AddAuthor(Author author) {
        article_.authorList.push_back(std::move(author));
        awaitingAu_ = false;
    }

    // "Beane Freeman LE": completes the author its FAU line began, or is an author of its
    // own (older records have no FAU).
    void ReadAu(const std::string& value) {
        if (value.empty()) return;
        std::vector<std::string> words;
        for (std::size_t at = 0; at < value.size();) {
            const std::size_t space = std::min(value.find(' ', at), value.size());
            if (space > at) words.push_back(value.substr(at, space - at));
            at = space + 1;
        }
        std::string suffix;
        if (words.size() > 2 && IsNameSuffix(words.back())) {
            suffix = words.back();
            words.pop_back();
        }
        if (awaitingAu_) {
            Author& author = article_.authorList.back();
            awaitingAu_ = false;
            const std::string& last = author.lastName;
            if (value.size() > last.size() && value.compare(0, last.size(), last) == 0 &&
                value[last.size()] == ' ') {
                const std::string rest = value.substr(last.size() + 1);
                author.initials = rest.substr(0, rest.find(' '));
            } else if (words.size() > 1) {
                author.initials = words.back();
            }
            if (author.suffix.empty()) author.suffix = suffix;
            return;
        }
        Author author;
        if (words.size() > 1) {
            author.initials = words.back();
            words.pop_back();
        }
        for (const std::string& word : words)
            author.lastName += (author.lastName.empty() ? "" : " ") + word;
        author.suffix = suffix;
        AddAuthor(std::move(author));
    }

    Article article_;
    std::string tag_, pmidText_;
    std::string* continued_ = nullptr; // what a continuation line extends
    std::vector<std::string> meshLines_, pendingAffiliations_;
    bool awaitingAu_ = false;
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
    if (path == "-") {
        // Standard input can be read once only: what was read to tell XML from MEDLINE is
        // handed to the reader first.
        GzSource input(dup(0));
        if (!input.IsOpen()) {
            error = "standard input: cannot read";
            return false;
        }
        std::string head(kSniffBytes, '\0');
        long got = 0;
        while (got < static_cast<long>(head.size())) {
            const long n = input.Read(&head[got], head.size() - got);
            if (n < 0) {
                error = "standard input: " + input.Error();
                return false;
            }
            if (n == 0) break;
            got += n;
        }
        head.resize(static_cast<std::size_t>(got));
        const bool xml = LooksLikeXml(head);
        ReplayedSource source(std::move(head), input);
        return xml ? ReadPubmedXmlFrom(source, "standard input", sink, error)
                   : ReadMedlineFrom(source, "standard input", sink, error);
    }
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
