#include "server/records/readers.h"

#include "server/records/source.h"

#include <algorithm>
#include <cstdlib>
#include <expat.h>
#include <memory>
#include <vector>

namespace tamix::server {

namespace {

struct ParserFree {
    void operator()(XML_ParserStruct* p) const { XML_ParserFree(p); }
};

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

const char* Attribute(const XML_Char** attributes, const char* name) {
    for (int i = 0; attributes[i]; i += 2)
        if (std::string_view(attributes[i]) == name) return attributes[i + 1];
    return nullptr;
}

class XmlReader {
public:
    XmlReader(const std::string& name, const RecordSink& sink) : file_(name), sink_(sink) {}

    bool Read(ByteSource& source, std::string& error) {
        parser_.reset(XML_ParserCreate("UTF-8"));
        XML_SetUserData(parser_.get(), this);
        XML_SetElementHandler(parser_.get(), &XmlReader::Start, &XmlReader::End);
        XML_SetCharacterDataHandler(parser_.get(), &XmlReader::Text);

        std::vector<char> buffer(1 << 16);
        for (;;) {
            const long got = source.Read(buffer.data(), buffer.size());
            if (got < 0) {
                error = file_ + ": " + source.Error();
                return false;
            }
            if (XML_Parse(parser_.get(), buffer.data(), static_cast<int>(got), got == 0) ==
                XML_STATUS_ERROR) {
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
    static void End(void* self, const XML_Char*) { static_cast<XmlReader*>(self)->OnEnd(); }
    static void Text(void* self, const XML_Char* text, int length) {
        auto* reader = static_cast<XmlReader*>(self);
        if (reader->capturing_) reader->text_.append(text, static_cast<std::size_t>(length));
    }

    // What an element is, decided once from its path when it starts.
    enum class Field {
        Other,
        Article,
        Book,
        Pmid,
        Title,
        AbstractText,
        Author,
        LastName,
        Initials,
        ForeName,
        Suffix,
        CollectiveName,
        Affiliation,
        ArticleAffiliation,
        JournalTitle,
        JournalAbbreviation,
        MedlineTa,
        Issn,
        Volume,
        Issue,
        MedlinePgn,
        StartPage,
        EndPage,
        MedlineDate,
        DateYear,
        DateSeason,
        DateMonth,
        DateDay,
        ArticleDate,
        ArticleDateYear,
        ArticleDateMonth,
        ArticleDateDay,
        Language,
        PublicationType,
        Keyword,
        MeshHeading,
        Descriptor,
        Qualifier,
        ELocation,
        ArticleId,
        DeletedPmid
    };

    // The paths of the fields as a tree of element names, each node a path: an element's
    // node is found among its parent's children by its name alone, where each element's
    // whole path was built and hashed (some 2 % of an import's reading thread).
    struct PathNode {
        Field field = Field::Other;
        std::vector<std::pair<std::string, int>> children; // name, node
    };
    static constexpr int kNoPath = -1; // below a path that holds no field

    static const std::vector<PathNode>& Paths() {
        static const std::vector<PathNode> kPaths = [] {
            std::vector<PathNode> nodes(1); // the root, above the document's element
            for (const auto& [path, field] : FieldPaths()) {
                int node = 0;
                for (std::size_t at = 1; at <= path.size();) {
                    const std::size_t end = std::min(path.find('/', at), path.size());
                    const std::string name = path.substr(at, end - at);
                    auto& children = nodes[node].children;
                    const auto child = std::find_if(children.begin(), children.end(),
                                                    [&](const auto& c) { return c.first == name; });
                    if (child != children.end()) {
                        node = child->second;
                    } else {
                        children.emplace_back(name, static_cast<int>(nodes.size()));
                        node = static_cast<int>(nodes.size());
                        nodes.emplace_back();
                    }
                    at = end + 1;
                }
                nodes[node].field = field;
            }
            return nodes;
        }();
        return kPaths;
    }

    static int ChildPath(int parent, const char* name) {
        if (parent == kNoPath) return kNoPath;
        for (const auto& [childName, node] : Paths()[parent].children)
            if (childName == name) return node;
        return kNoPath;
    }

    static std::vector<std::pair<std::string, Field>> FieldPaths() {
        const std::string set = "/PubmedArticleSet";
        const std::string citation = set + "/PubmedArticle/MedlineCitation";
        const std::string article = citation + "/Article";
        const std::string author = article + "/AuthorList/Author";
        const std::string journal = article + "/Journal";
        const std::string date = journal + "/JournalIssue/PubDate";
        const std::string electronic = article + "/ArticleDate";
        const std::string mesh = citation + "/MeshHeadingList/MeshHeading";
        return {
            {set + "/PubmedArticle", Field::Article},
            {set + "/PubmedBookArticle", Field::Book},
            {citation + "/PMID", Field::Pmid},
            {article + "/ArticleTitle", Field::Title},
            {article + "/Abstract/AbstractText", Field::AbstractText},
            {author, Field::Author},
            {author + "/LastName", Field::LastName},
            {author + "/Initials", Field::Initials},
            {author + "/ForeName", Field::ForeName},
            {author + "/Suffix", Field::Suffix},
            {author + "/CollectiveName", Field::CollectiveName},
            {author + "/AffiliationInfo/Affiliation", Field::Affiliation},
            {author + "/Affiliation", Field::Affiliation},
            {article + "/Affiliation", Field::ArticleAffiliation},
            {journal + "/Title", Field::JournalTitle},
            {journal + "/ISOAbbreviation", Field::JournalAbbreviation},
            {journal + "/ISSN", Field::Issn},
            {journal + "/JournalIssue/Volume", Field::Volume},
            {journal + "/JournalIssue/Issue", Field::Issue},
            {citation + "/MedlineJournalInfo/MedlineTA", Field::MedlineTa},
            {article + "/Pagination/MedlinePgn", Field::MedlinePgn},
            {article + "/Pagination/StartPage", Field::StartPage},
            {article + "/Pagination/EndPage", Field::EndPage},
            {date + "/MedlineDate", Field::MedlineDate},
            {date + "/Year", Field::DateYear},
            {date + "/Season", Field::DateSeason},
            {date + "/Month", Field::DateMonth},
            {date + "/Day", Field::DateDay},
            {electronic, Field::ArticleDate},
            {electronic + "/Year", Field::ArticleDateYear},
            {electronic + "/Month", Field::ArticleDateMonth},
            {electronic + "/Day", Field::ArticleDateDay},
            {article + "/Language", Field::Language},
            {article + "/PublicationTypeList/PublicationType", Field::PublicationType},
            {citation + "/KeywordList/Keyword", Field::Keyword},
            {mesh, Field::MeshHeading},
            {mesh + "/DescriptorName", Field::Descriptor},
            {mesh + "/QualifierName", Field::Qualifier},
            {article + "/ELocationID", Field::ELocation},
            {set + "/PubmedArticle/PubmedData/ArticleIdList/ArticleId", Field::ArticleId},
            {set + "/DeleteCitation/PMID", Field::DeletedPmid},
        };
    }

    static bool IsText(Field f) {
        return f != Field::Other && f != Field::Article && f != Field::Book && f != Field::Author &&
               f != Field::MeshHeading && f != Field::ArticleDate;
    }

    static bool MajorTopic(const XML_Char** attributes) {
        const char* major = Attribute(attributes, "MajorTopicYN");
        return major && std::string_view(major) == "Y";
    }

    void OnStart(const char* name, const XML_Char** attributes) {
        paths_.push_back(ChildPath(paths_.back(), name));
        // Markup inside a captured text (<i> in a title) keeps only its text.
        const Field field =
            capturing_ || paths_.back() == kNoPath ? Field::Other : Paths()[paths_.back()].field;
        fields_.push_back(field);
        switch (field) {
        case Field::Article:
            article_ = Article{};
            inArticle_ = true;
            articleLine_ = XML_GetCurrentLineNumber(parser_.get());
            break;
        case Field::Book:
            Skip(XML_GetCurrentLineNumber(parser_.get()), "book records are not indexed");
            break;
        case Field::Author:
            author_ = Author{};
            break;
        case Field::MeshHeading:
            heading_ = MeshHeading{};
            break;
        case Field::Descriptor:
        case Field::Qualifier:
            major_ = MajorTopic(attributes);
            break;
        case Field::Issn: {
            const char* type = Attribute(attributes, "IssnType");
            issnType_ = type ? type : "";
            break;
        }
        case Field::ArticleDate: {
            // Only the electronic date is kept.
            const char* type = Attribute(attributes, "DateType");
            electronicDate_ = !type || std::string_view(type) == "Electronic";
            break;
        }
        case Field::AbstractText: {
            const char* label = Attribute(attributes, "Label");
            label_ = label ? label : "";
            break;
        }
        case Field::ELocation: {
            const char* type = Attribute(attributes, "EIdType");
            if (!type || std::string_view(type) != "doi") fields_.back() = Field::Other;
            break;
        }
        case Field::ArticleId: {
            const char* type = Attribute(attributes, "IdType");
            idType_ = type ? type : "";
            break;
        }
        default:
            break;
        }
        if (IsText(fields_.back())) {
            capturing_ = true;
            text_.clear();
        }
    }

    void OnEnd() {
        const Field field = fields_.back();
        fields_.pop_back();
        if (IsText(field)) {
            capturing_ = false;
            OnText(field);
        } else if (field == Field::Author) {
            if (inArticle_ && (!author_.lastName.empty() || !author_.collectiveName.empty()))
                article_.authorList.push_back(std::move(author_));
        } else if (field == Field::MeshHeading) {
            if (inArticle_ && !heading_.descriptor.empty())
                article_.mesh.push_back(std::move(heading_));
        } else if (field == Field::Article) {
            FinishArticle();
        }
        paths_.pop_back();
    }

    void OnText(Field field) {
        std::string value = Squeeze(text_);
        if (field == Field::DeletedPmid) {
            std::int64_t pmid = 0;
            if (!ParsePmid(value, pmid))
                Skip(XML_GetCurrentLineNumber(parser_.get()), "DeleteCitation with a bad PMID");
            else if (sink_.onDelete)
                sink_.onDelete(pmid);
            return;
        }
        if (!inArticle_) return;
        switch (field) {
        case Field::Pmid:
            if (!ParsePmid(value, article_.pmid)) article_.pmid = -1;
            break;
        case Field::Title:
            article_.title = std::move(value);
            break;
        case Field::AbstractText:
            if (value.empty()) break;
            if (!article_.abstract.empty()) article_.abstract += '\n';
            if (!label_.empty()) article_.abstract += label_ + ": ";
            article_.abstract += value;
            break;
        case Field::LastName:
            author_.lastName = std::move(value);
            break;
        case Field::Initials:
            author_.initials = std::move(value);
            break;
        case Field::ForeName:
            author_.foreName = std::move(value);
            break;
        case Field::Suffix:
            author_.suffix = std::move(value);
            break;
        case Field::CollectiveName:
            author_.collectiveName = std::move(value);
            break;
        case Field::Affiliation:
            if (!value.empty()) author_.affiliations.push_back(std::move(value));
            break;
        case Field::ArticleAffiliation:
            // Records before 2014 name one affiliation for the whole article: the first
            // author's, as NLM reads them today.
            if (!value.empty()) articleAffiliation_ = std::move(value);
            break;
        case Field::JournalTitle:
            article_.journalTitle = std::move(value);
            break;
        case Field::JournalAbbreviation:
            article_.isoAbbreviation = std::move(value);
            break;
        case Field::MedlineTa:
            article_.medlineTa = std::move(value);
            break;
        case Field::Issn:
            if (issnType_ == "Electronic")
                article_.issnElectronic = std::move(value);
            else
                article_.issnPrint = std::move(value);
            break;
        case Field::Volume:
            article_.volume = std::move(value);
            break;
        case Field::Issue:
            article_.issue = std::move(value);
            break;
        case Field::MedlinePgn:
            article_.pages = std::move(value);
            break;
        case Field::StartPage:
            startPage_ = std::move(value);
            break;
        case Field::EndPage:
            endPage_ = std::move(value);
            break;
        case Field::MedlineDate:
            article_.pubdate = std::move(value);
            break;
        case Field::DateYear:
        case Field::DateSeason:
            AppendDatePart(value);
            break;
        case Field::DateMonth: {
            // MEDLINE and PubMed's pages write the month's name ("2017 Jun"), which XML
            // may give as a number ("06").
            const int month = MonthNumber(value);
            AppendDatePart(month > 0 ? std::string(MonthName(month)) : value);
            break;
        }
        case Field::DateDay: {
            const std::size_t digit = value.find_first_not_of('0');
            AppendDatePart(digit == std::string::npos ? value : value.substr(digit));
            break;
        }
        case Field::ArticleDateYear:
            if (electronicDate_) article_.electronicYear = DateNumber(value, 1, 9999);
            break;
        case Field::ArticleDateMonth:
            if (electronicDate_) article_.electronicMonth = MonthNumber(value);
            break;
        case Field::ArticleDateDay:
            if (electronicDate_) article_.electronicDay = DateNumber(value, 1, 31);
            break;
        case Field::Language:
            if (!value.empty()) article_.languages.push_back(std::move(value));
            break;
        case Field::PublicationType:
            if (!value.empty()) article_.publicationTypes.push_back(std::move(value));
            break;
        case Field::Keyword:
            if (!value.empty()) article_.keywords.push_back(std::move(value));
            break;
        case Field::Descriptor:
            heading_.descriptor = std::move(value);
            heading_.major = major_;
            break;
        case Field::Qualifier:
            if (!value.empty()) heading_.qualifiers.push_back({std::move(value), major_});
            break;
        case Field::ELocation:
            if (article_.doi.empty()) article_.doi = std::move(value);
            break;
        case Field::ArticleId:
            if (idType_ == "doi") article_.doi = value;
            if (idType_ == "pmc") article_.pmcid = value;
            break;
        default:
            break;
        }
    }

    void AppendDatePart(const std::string& part) {
        if (part.empty()) return;
        if (!article_.pubdate.empty()) article_.pubdate += ' ';
        article_.pubdate += part;
    }

    static int DateNumber(const std::string& text, int low, int high) {
        if (text.empty() || text.size() > 4 ||
            text.find_first_not_of("0123456789") != std::string::npos)
            return 0;
        const int n = std::atoi(text.c_str());
        return n >= low && n <= high ? n : 0;
    }

    void FinishArticle() {
        inArticle_ = false;
        article_.journal =
            article_.isoAbbreviation.empty() ? article_.journalTitle : article_.isoAbbreviation;
        if (!articleAffiliation_.empty() && !article_.authorList.empty() &&
            article_.authorList[0].affiliations.empty())
            article_.authorList[0].affiliations.push_back(articleAffiliation_);
        articleAffiliation_.clear();
        if (article_.pages.empty() && !startPage_.empty())
            article_.pages = endPage_.empty() ? startPage_ : startPage_ + "-" + endPage_;
        startPage_.clear();
        endPage_.clear();
        article_.authors = AuthorsDisplay(article_.authorList);
        if (article_.pmid <= 0) {
            Skip(articleLine_, article_.pmid < 0 ? "bad PMID" : "no PMID");
            return;
        }
        if (article_.pmid > kMaxPmid) return Skip(articleLine_, TooLongPmid(article_.pmid));
        ParsePubDate(article_);
        if (sink_.onArticle) sink_.onArticle(std::move(article_));
    }

    void Skip(long line, const std::string& why) {
        if (sink_.onSkip) sink_.onSkip(SourcePosition{file_, line}, why);
    }

    const std::string file_;
    std::vector<int> paths_{0}; // each open element's node of Paths(), the root's first

    const RecordSink& sink_;
    std::unique_ptr<XML_ParserStruct, ParserFree> parser_;
    std::vector<Field> fields_; // one per open element
    bool capturing_ = false;
    std::string text_;
    std::string label_, idType_, issnType_;
    Author author_;
    MeshHeading heading_;
    bool major_ = false;
    bool electronicDate_ = false;
    std::string articleAffiliation_, startPage_, endPage_;
    Article article_;
    bool inArticle_ = false;
    long articleLine_ = 0;
};

} // namespace

bool ReadPubmedXmlFrom(ByteSource& source, const std::string& name, const RecordSink& sink,
                       std::string& error) {
    return XmlReader(name, sink).Read(source, error);
}

bool ReadPubmedXml(const std::string& path, const RecordSink& sink, std::string& error) {
    GzSource file(path);
    if (!file.IsOpen()) {
        error = path + ": cannot open";
        return false;
    }
    return XmlReader(path, sink).Read(file, error);
}

bool ReadPubmedXmlText(std::string_view text, const std::string& name, const RecordSink& sink,
                       std::string& error) {
    MemorySource source(text);
    return XmlReader(name, sink).Read(source, error);
}

} // namespace tamix::server
