#include "server/readers.h"

#include <expat.h>
#include <zlib.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace tamix::server {

namespace {

struct GzCloser {
    void operator()(gzFile_s* f) const { gzclose(f); }
};

struct ParserFree {
    void operator()(XML_ParserStruct* p) const { XML_ParserFree(p); }
};

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// Runs of white space (line breaks in titles and abstracts) become one space.
std::string Squeeze(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    bool space = false;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            space = !out.empty();
        } else {
            if (space) out.push_back(' ');
            space = false;
            out.push_back(c);
        }
    }
    return out;
}

bool ParsePmid(const std::string& text, std::int64_t& pmid) {
    const std::string t = Trim(text);
    if (t.empty() || t.size() > 9 || t.find_first_not_of("0123456789") != std::string::npos)
        return false;
    pmid = std::strtoll(t.c_str(), nullptr, 10);
    return pmid > 0;
}

const char* Attribute(const XML_Char** attributes, const char* name) {
    for (int i = 0; attributes[i]; i += 2)
        if (std::string_view(attributes[i]) == name) return attributes[i + 1];
    return nullptr;
}

class XmlReader {
public:
    XmlReader(const std::string& path, const RecordSink& sink) : file_(path), sink_(sink) {}

    bool Read(std::string& error) {
        std::unique_ptr<gzFile_s, GzCloser> file(gzopen(file_.c_str(), "rb"));
        if (!file) {
            error = file_ + ": cannot open";
            return false;
        }
        gzbuffer(file.get(), 1 << 17);
        parser_.reset(XML_ParserCreate("UTF-8"));
        XML_SetUserData(parser_.get(), this);
        XML_SetElementHandler(parser_.get(), &XmlReader::Start, &XmlReader::End);
        XML_SetCharacterDataHandler(parser_.get(), &XmlReader::Text);

        std::vector<char> buffer(1 << 16);
        for (;;) {
            const int got = gzread(file.get(), buffer.data(), static_cast<unsigned>(buffer.size()));
            if (got < 0) {
                int code = 0;
                error = file_ + ": " + gzerror(file.get(), &code);
                return false;
            }
            if (XML_Parse(parser_.get(), buffer.data(), got, got == 0) == XML_STATUS_ERROR) {
                error = file_ + ":" + std::to_string(XML_GetCurrentLineNumber(parser_.get())) +
                        ": " + XML_ErrorString(XML_GetErrorCode(parser_.get()));
                return false;
            }
            if (got == 0) return true;
        }
    }

private:
    // The element path below the root, joined by '/', decides what a text is.
    static void Start(void* self, const XML_Char* name, const XML_Char** attributes) {
        static_cast<XmlReader*>(self)->OnStart(name, attributes);
    }
    static void End(void* self, const XML_Char* name) {
        static_cast<XmlReader*>(self)->OnEnd(name);
    }
    static void Text(void* self, const XML_Char* text, int length) {
        auto* reader = static_cast<XmlReader*>(self);
        if (reader->captureDepth_ > 0) reader->text_.append(text, static_cast<std::size_t>(length));
    }

    void Capture() {
        captureDepth_ = depth_;
        text_.clear();
    }

    void OnStart(const char* name, const XML_Char** attributes) {
        ++depth_;
        where_.push_back('/');
        where_ += name;
        if (captureDepth_ > 0) return; // markup inside a captured text: keep its text only
        if (where_ == "/PubmedArticleSet/PubmedArticle") {
            article_ = Article{};
            inArticle_ = true;
            articleLine_ = XML_GetCurrentLineNumber(parser_.get());
        } else if (where_ == "/PubmedArticleSet/PubmedBookArticle") {
            Skip(XML_GetCurrentLineNumber(parser_.get()), "book records are not indexed");
        } else if (where_ == kCitation + "/PMID" || where_ == kCitation + "/Article/ArticleTitle" ||
                   where_ == kCitation + "/Article/AuthorList/Author/LastName" ||
                   where_ == kCitation + "/Article/AuthorList/Author/Initials" ||
                   where_ == kCitation + "/Article/AuthorList/Author/ForeName" ||
                   where_ == kCitation + "/Article/AuthorList/Author/CollectiveName" ||
                   where_ == kJournal + "/Title" || where_ == kJournal + "/ISOAbbreviation" ||
                   where_.compare(0, kPubDate.size() + 1, kPubDate + "/") == 0 ||
                   where_ == "/PubmedArticleSet/DeleteCitation/PMID") {
            Capture();
        } else if (where_ == kCitation + "/Article/Abstract/AbstractText") {
            const char* label = Attribute(attributes, "Label");
            label_ = label ? label : "";
            Capture();
        } else if (where_ == kCitation + "/Article/ELocationID") {
            const char* type = Attribute(attributes, "EIdType");
            if (type && std::string_view(type) == "doi") Capture();
        } else if (where_ == "/PubmedArticleSet/PubmedArticle/PubmedData/ArticleIdList/ArticleId") {
            const char* type = Attribute(attributes, "IdType");
            idType_ = type ? type : "";
            Capture();
        } else if (where_ == kCitation + "/Article/AuthorList/Author") {
            last_.clear();
            initials_.clear();
            fore_.clear();
            collective_.clear();
        }
    }

    void OnEnd(const char* name) {
        if (captureDepth_ == depth_) {
            captureDepth_ = 0;
            OnText();
        }
        if (where_ == kCitation + "/Article/AuthorList/Author") AddAuthor();
        if (where_ == "/PubmedArticleSet/PubmedArticle") FinishArticle();
        where_.resize(where_.size() - std::char_traits<char>::length(name) - 1);
        --depth_;
    }

    void OnText() {
        const std::string value = Squeeze(text_);
        if (where_ == "/PubmedArticleSet/DeleteCitation/PMID") {
            std::int64_t pmid = 0;
            if (ParsePmid(value, pmid)) {
                if (sink_.onDelete) sink_.onDelete(pmid);
            } else {
                Skip(XML_GetCurrentLineNumber(parser_.get()), "DeleteCitation with a bad PMID");
            }
        }
        if (!inArticle_) return;
        if (where_ == kCitation + "/PMID") {
            if (!ParsePmid(value, article_.pmid)) article_.pmid = -1;
        } else if (where_ == kCitation + "/Article/ArticleTitle") {
            article_.title = value;
        } else if (where_ == kCitation + "/Article/Abstract/AbstractText") {
            if (value.empty()) return;
            if (!article_.abstract.empty()) article_.abstract += '\n';
            article_.abstract += label_.empty() ? value : label_ + ": " + value;
        } else if (where_ == kCitation + "/Article/AuthorList/Author/LastName") {
            last_ = value;
        } else if (where_ == kCitation + "/Article/AuthorList/Author/Initials") {
            initials_ = value;
        } else if (where_ == kCitation + "/Article/AuthorList/Author/ForeName") {
            fore_ = value;
        } else if (where_ == kCitation + "/Article/AuthorList/Author/CollectiveName") {
            collective_ = value;
        } else if (where_ == kJournal + "/Title") {
            journalTitle_ = value;
        } else if (where_ == kJournal + "/ISOAbbreviation") {
            journalAbbreviation_ = value;
        } else if (where_ == kPubDate + "/MedlineDate") {
            article_.pubdate = value;
        } else if (where_.compare(0, kPubDate.size() + 1, kPubDate + "/") == 0) {
            // Year, Season, Month, Day in document order.
            if (!article_.pubdate.empty()) article_.pubdate += ' ';
            article_.pubdate += value;
        } else if (where_ == kCitation + "/Article/ELocationID") {
            if (article_.doi.empty()) article_.doi = value;
        } else if (where_ == "/PubmedArticleSet/PubmedArticle/PubmedData/ArticleIdList/ArticleId") {
            if (idType_ == "doi") article_.doi = value;
            if (idType_ == "pmc") article_.pmcid = value;
        }
    }

    void AddAuthor() {
        std::string author = last_.empty() ? collective_ : last_;
        const std::string& given = initials_.empty() ? fore_ : initials_;
        if (!last_.empty() && !given.empty()) author += ' ' + given;
        if (author.empty()) return;
        if (!article_.authors.empty()) article_.authors += ", ";
        article_.authors += author;
    }

    void FinishArticle() {
        inArticle_ = false;
        article_.journal = journalAbbreviation_.empty() ? journalTitle_ : journalAbbreviation_;
        journalAbbreviation_.clear();
        journalTitle_.clear();
        if (article_.pmid <= 0) {
            Skip(articleLine_, article_.pmid < 0 ? "bad PMID" : "no PMID");
            return;
        }
        ParsePubDate(article_);
        if (sink_.onArticle) sink_.onArticle(std::move(article_));
    }

    void Skip(long line, const std::string& why) {
        if (sink_.onSkip) sink_.onSkip(SourcePosition{file_, line}, why);
    }

    inline static const std::string kCitation = "/PubmedArticleSet/PubmedArticle/MedlineCitation";
    inline static const std::string kJournal = kCitation + "/Article/Journal";
    inline static const std::string kPubDate = kJournal + "/JournalIssue/PubDate";

    const std::string file_;
    std::string where_; // element path from the root, "/PubmedArticleSet/..."

    const RecordSink& sink_;
    std::unique_ptr<XML_ParserStruct, ParserFree> parser_;
    int depth_ = 0;
    int captureDepth_ = 0;
    std::string text_;
    std::string label_, idType_;
    std::string last_, initials_, fore_, collective_;
    std::string journalTitle_, journalAbbreviation_;
    Article article_;
    bool inArticle_ = false;
    long articleLine_ = 0;
};

} // namespace

bool ReadPubmedXml(const std::string& path, const RecordSink& sink, std::string& error) {
    XmlReader reader(path, sink);
    return reader.Read(error);
}

} // namespace tamix::server
