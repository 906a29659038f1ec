#include "server/index/index.h"

#include "pubmed/text.h"
#include "server/index/details.h"
#include "server/index/query.h"
#include "server/index/rank.h"
#include "server/index/words.h"
#include "server/rank/terms.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <malloc.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace tamix::server {

namespace {

// Version 1 (no 'schema' row) tagged years only; version 2 indexed title, abstract,
// authors, dates and PMIDs; version 3 kept records in sort key order; version 4 had no
// ranking engine; version 6 kept the names pages sort by under the sort key; version 7 kept
// a class and a gap with each posting of the ranking's lists. Whoever changes the tables,
// the texts TextsOf makes, the tags or the rowids raises kSchemaVersion: the FTS5 index
// is contentless, and deleting a record from it takes exactly the texts it was given.
constexpr const char* kSchema = R"sql(
CREATE TABLE meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;
INSERT INTO meta VALUES('generation', 0);
INSERT INTO meta VALUES('unmerged', 0);
INSERT INTO meta VALUES('records', 0);
INSERT INTO meta VALUES('ranked_words', 0);
CREATE TABLE article(
    pmid INTEGER PRIMARY KEY,
    id INTEGER NOT NULL,
    title TEXT NOT NULL,
    authors TEXT NOT NULL,
    journal TEXT NOT NULL,
    pubdate TEXT NOT NULL,
    abstract TEXT NOT NULL,
    doi TEXT NOT NULL,
    pmcid TEXT NOT NULL,
    details BLOB NOT NULL);
CREATE TABLE sort_name(
    pmid INTEGER PRIMARY KEY,
    first_author TEXT NOT NULL,
    journal TEXT NOT NULL);
CREATE VIRTUAL TABLE article_fts USING fts5(
    title, abstract, authors, mesh, keywords, affiliations, tags,
    content='', columnsize=0,
    tokenize='porter unicode61 remove_diacritics 2');
CREATE TABLE IF NOT EXISTS imported_file(
    name TEXT PRIMARY KEY,
    md5 TEXT NOT NULL,
    added INTEGER NOT NULL,
    replaced INTEGER NOT NULL,
    deleted INTEGER NOT NULL,
    skipped INTEGER NOT NULL,
    imported_at TEXT NOT NULL);
)sql";

// The columns of article a record is read from, in Read()'s order.
constexpr const char* kArticleColumns =
    "pmid, title, authors, journal, pubdate, abstract, doi, pmcid, details";

// A record from a statement whose columns from first are kArticleColumns.
Article ReadArticle(const Statement& row, int first) {
    Article a;
    a.pmid = row.Int(first);
    a.title = row.Text(first + 1);
    a.authors = row.Text(first + 2);
    a.journal = row.Text(first + 3);
    a.pubdate = row.Text(first + 4);
    a.abstract = row.Text(first + 5);
    a.doi = row.Text(first + 6);
    a.pmcid = row.Text(first + 7);
    if (!DecodeDetails(row.Text(first + 8), a))
        throw SqliteError("the record of PMID " + std::to_string(a.pmid) +
                          " is damaged in the index");
    return a;
}

// Values of a list field, in the order given, each once, joined by the boundary marker
// so that no phrase runs from one into the next.
std::string JoinValues(const std::vector<std::string>& values) {
    std::string out;
    std::vector<std::string_view> seen;
    for (const std::string& value : values) {
        if (std::find(seen.begin(), seen.end(), value) != seen.end()) continue;
        seen.push_back(value);
        if (!out.empty()) (out += ' ') += marker::kJoin, out += ' ';
        out += WithoutMarkers(value);
    }
    return out;
}

void AddToken(std::string& tags, const std::string& token) {
    if (token.empty()) return;
    tags += ' ';
    tags += token;
}

} // namespace

std::string SortName(const std::string& name) {
    return ToLowerAscii(ReduceToAscii(name));
}

std::string FirstAuthorName(const Article& a) {
    return SortName(a.authorList.empty() ? "" : a.authorList[0].DisplayName());
}

namespace {

// Keys of one date never collide: readers keep PMIDs under 10^8. The largest rowid,
// (99991231 * kPmidSpan + kPmidSpan - 1) * kLengthClasses, is below 2^63.
constexpr std::int64_t kPmidSpan = 1000000000;

// The PMID a sort key holds, in C++ and as SQL over a rowid column.
std::int64_t PmidOfKey(std::int64_t key) {
    return (-key / kLengthClasses) % kPmidSpan;
}
std::string PmidOfKeySql(const std::string& column) {
    return "((-" + column + " / " + std::to_string(kLengthClasses) + ") % " +
           std::to_string(kPmidSpan) + ")";
}

// The layout of an open file: 0 when it holds no index yet.
int SchemaVersionOf(Database& db) {
    Statement tables = db.Prepare(
        "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN ('meta', 'article')");
    const bool any = tables.Step() && tables.Int(0) > 0;
    tables.Reset();
    if (!any) return 0;
    Statement version = db.Prepare("SELECT value FROM meta WHERE key = 'schema'");
    return version.Step() ? static_cast<int>(version.Int(0)) : 1;
}

// Refuses an index of another layout, saying how to get one that can be read.
void RequireSchema(int version, const std::string& path) {
    if (version == kSchemaVersion) return;
    const std::string versions = " (index schema " + std::to_string(version) +
                                 ", this tamix-server reads schema " +
                                 std::to_string(kSchemaVersion) + ")";
    if (version == 0) throw SchemaError(path + " holds no tamix-server index");
    if (version < kSchemaVersion)
        throw SchemaError(path + " was made by an older tamix-server" + versions +
                          ". Rebuild it by re-importing the same records into a new index "
                          "file: tamix-server import --index NEW.sqlite RECORDS...");
    throw SchemaError(path + " was made by a newer tamix-server" + versions +
                      ". Serve it with that version, or rebuild it by re-importing the same "
                      "records into a new index file with this one.");
}

std::string YearTag(char level, int number) {
    return level + std::to_string(number);
}

} // namespace

std::int64_t SortKey(const Article& a, int lengthClass) {
    const std::int64_t date = (static_cast<std::int64_t>(a.year) * 100 + a.month) * 100 + a.day;
    // Negated: FTS5 walks rowids upwards fastest, and newest first is what is asked for.
    return -((date * kPmidSpan + a.pmid) * kLengthClasses + lengthClass);
}

std::string TagsOf(const Article& a) {
    std::string tags;
    if (a.year > 0)
        tags = YearTag('y', a.year) + " " + YearTag('d', a.year / 10) + " " +
               YearTag('c', a.year / 100) + " " + YearTag('m', a.year / 1000) + " ";
    return tags + "p" + std::to_string(a.pmid);
}

std::vector<std::string> AuthorTokens(std::string_view kind, const Author& author) {
    if (author.lastName.empty()) return {ValueToken(kind, author.collectiveName)};
    std::vector<std::string> tokens = {ValueToken(kind, author.lastName)};
    if (tokens[0].empty()) return {};
    std::string initials = author.initials;
    if (initials.empty()) {
        // "J Michael" -> "JM": the first character of each word.
        for (std::string_view word : Words(author.foreName)) {
            std::size_t length = 1;
            while (length < word.size() &&
                   (static_cast<unsigned char>(word[length]) & 0xC0) == 0x80)
                ++length;
            initials.append(word.substr(0, length));
        }
    }
    const std::vector<std::string_view> words = Words(initials);
    if (words.size() != 1) return tokens; // initials are one word ("JA"), or there are none
    const std::string_view letters = words[0];
    for (std::size_t end = 1; end <= letters.size(); ++end) {
        if (end < letters.size() && (static_cast<unsigned char>(letters[end]) & 0xC0) == 0x80)
            continue; // inside a character
        tokens.push_back(
            ValueToken(kind, author.lastName, marker::kInitials, letters.substr(0, end)));
    }
    return tokens;
}

IndexedText TextsOf(const Article& a) {
    IndexedText t;
    t.title = WithoutMarkers(a.title);
    t.abstract = WithoutMarkers(a.abstract);
    t.authors = WithoutMarkers(a.authors);
    std::vector<std::string> headings, affiliations;
    for (const MeshHeading& heading : a.mesh) {
        headings.push_back(heading.descriptor);
        for (const MeshQualifier& q : heading.qualifiers)
            headings.push_back(q.name);
    }
    t.mesh = JoinValues(headings);
    t.keywords = JoinValues(a.keywords);
    for (const Author& author : a.authorList)
        affiliations.insert(affiliations.end(), author.affiliations.begin(),
                            author.affiliations.end());
    t.affiliations = JoinValues(affiliations);

    t.tags = TagsOf(a);
    if (!a.abstract.empty()) AddToken(t.tags, kHasAbstractTag);
    if (!a.pmcid.empty()) AddToken(t.tags, kFreeFullTextTag);
    for (const MeshHeading& heading : a.mesh) {
        bool anyMajor = heading.major;
        for (const MeshQualifier& q : heading.qualifiers)
            anyMajor = anyMajor || q.major;
        AddToken(t.tags, ValueToken(marker::kMesh, heading.descriptor));
        // A heading is a major topic when its descriptor or one of its qualifiers is.
        if (anyMajor) AddToken(t.tags, ValueToken(marker::kMajor, heading.descriptor));
        for (const MeshQualifier& q : heading.qualifiers) {
            AddToken(t.tags,
                     ValueToken(marker::kMesh, heading.descriptor, marker::kQualifier, q.name));
            if (q.major || heading.major)
                AddToken(t.tags, ValueToken(marker::kMajor, heading.descriptor, marker::kQualifier,
                                            q.name));
        }
    }
    for (const std::string& type : a.publicationTypes)
        AddToken(t.tags, ValueToken(marker::kType, type));
    for (const std::string& language : a.languages)
        AddToken(t.tags, ValueToken(marker::kLanguage, language));
    std::vector<std::string> journals;
    for (const std::string* name : {&a.isoAbbreviation, &a.medlineTa, &a.journalTitle}) {
        const std::string token = ValueToken(marker::kJournal, *name);
        if (std::find(journals.begin(), journals.end(), token) == journals.end())
            journals.push_back(token);
    }
    for (const std::string& token : journals)
        AddToken(t.tags, token);
    if (!a.authorList.empty()) {
        for (const std::string& token : AuthorTokens(marker::kFirst, a.authorList.front()))
            AddToken(t.tags, token);
        for (const std::string& token : AuthorTokens(marker::kLast, a.authorList.back()))
            AddToken(t.tags, token);
    }
    for (const std::string& token : OrderTokens(SortColumn::FirstAuthor, FirstAuthorName(a)))
        AddToken(t.tags, token);
    for (const std::string& token : OrderTokens(SortColumn::Journal, SortName(a.journal)))
        AddToken(t.tags, token);
    t.rankedWords = static_cast<std::int64_t>(WordCount(t.title) + WordCount(t.abstract) +
                                              WordCount(t.mesh) + WordCount(t.keywords));
    return t;
}

std::vector<std::string> YearTags(int from, int to) {
    // From the lower end, the widest unit that starts here and ends within the span.
    static constexpr std::pair<int, char> kUnits[] = {{1000, 'm'}, {100, 'c'}, {10, 'd'}, {1, 'y'}};
    std::vector<std::string> tags;
    for (int year = from; year <= to;) {
        for (const auto& [width, level] : kUnits) {
            if (year % width == 0 && year + width - 1 <= to) {
                tags.push_back(YearTag(level, year / width));
                year += width;
                break;
            }
        }
    }
    return tags;
}

void YearRowids(int from, int to, std::int64_t& first, std::int64_t& last) {
    // Dates are yyyymmdd with month and day 0 when unknown; rowids are negated keys.
    const std::int64_t lowest = static_cast<std::int64_t>(from) * 10000 * kPmidSpan;
    const std::int64_t highest =
        (static_cast<std::int64_t>(to) * 10000 + 9999) * kPmidSpan + (kPmidSpan - 1);
    first = -(highest * kLengthClasses + kLengthClasses - 1);
    last = -(lowest * kLengthClasses);
}

IndexWriter::IndexWriter(const std::string& path)
    : db_(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE), replay_(db_.Handle()) {
    // Large pages suit an index of long texts (they take effect on a new file only).
    // WAL lets the server read the index while an update is imported into it. A cache of
    // 1 GB keeps the pages a run of records writes until its commit. Freed pages are not
    // zeroed: the index holds published records, and Debian's SQLite zeroes them by
    // default, which wrote every page a merge frees once more (5 % of a first import's
    // bytes).
    db_.Exec("PRAGMA page_size=16384;");
    db_.Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-1048576;"
             "PRAGMA temp_store=MEMORY; PRAGMA secure_delete=OFF;");
    const int version = SchemaVersionOf(db_);
    if (version != 0) RequireSchema(version, path);
    // One transaction, so that an import killed at its start leaves either no tables or
    // all of them.
    db_.Exec("BEGIN");
    if (version == 0) {
        db_.Exec(kSchema);
        db_.Exec(kRankingSchema);
        db_.Exec(kOrdersSchema);
        db_.Exec(
            ("INSERT INTO meta VALUES('schema', " + std::to_string(kSchemaVersion) + ")").c_str());
    }
    // Fewer, larger merges: a third less work per imported record than FTS5's default. A
    // new index is merged whole when its import ends (MergeIfDue), and along the way only
    // once 256 segments pile up (12.8 million records in runs of 50,000): a merge of every
    // 64 rewrote 3.2 million records' full text each time, a minute and a half in which the
    // import stood still, and all of it was rewritten again at the end. FTS5 fails a write
    // past 2,000 segments in all, and replacing records makes many small ones (a killed
    // import's rerun over every record reached that limit); 256 a level stays far below.
    // Until the end a search of the new index seeks through each segment. An index whose
    // first import was cut short (never merged: its changes since the last merge are all
    // its records) counts as new, lest the import run again begin by merging it all.
    bool firstImport = version == 0;
    if (!firstImport) {
        Statement never = db_.Prepare("SELECT (SELECT value FROM meta WHERE key = 'unmerged') >= "
                                      "(SELECT value FROM meta WHERE key = 'records')");
        firstImport = never.Step() && never.Int(0) != 0;
    }
    const auto configure = [&](const char* option, std::int64_t value) {
        Statement set = db_.Prepare("INSERT INTO article_fts(article_fts, rank) VALUES(?1, ?2)");
        set.Bind(1, std::string_view(option)).Bind(2, value).Run();
    };
    configure("automerge", firstImport ? 0 : 16);
    configure("crisismerge", firstImport ? 256 : 16);
    configure("pgsz", 16000);
    // Room for the terms of a whole run of held-back records, so that the run makes one
    // segment: at FTS5's default of 1 MB it made dozens, merged again and again later.
    configure("hashsize", 134217728);
    db_.Exec("COMMIT");
    db_.Exec("PRAGMA wal_autocheckpoint=0");
    checkpointer_ = std::make_unique<Checkpointer>(path);
    find_ =
        db_.Prepare(std::string("SELECT id, ") + kArticleColumns + " FROM article WHERE pmid = ?1");
    deleteArticle_ = db_.Prepare("DELETE FROM article WHERE pmid = ?1");
    deleteText_ = db_.Prepare("INSERT INTO article_fts(article_fts, rowid, title, abstract, "
                              "authors, mesh, keywords, affiliations, tags) "
                              "VALUES('delete', ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    insertArticle_ = db_.Prepare(
        "INSERT INTO article(id, pmid, title, authors, journal, pubdate, abstract, doi, "
        "pmcid, details) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
    insertSortName_ = db_.Prepare("INSERT INTO sort_name VALUES(?1, ?2, ?3)");
    deleteSortName_ = db_.Prepare("DELETE FROM sort_name WHERE pmid = ?1");
    insertText_ =
        db_.Prepare("INSERT INTO article_fts(rowid, title, abstract, authors, mesh, "
                    "keywords, affiliations, tags) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    bump_ = db_.Prepare("UPDATE meta SET value = value + 1 WHERE key = 'generation'");
    recordFile_ = db_.Prepare("INSERT OR REPLACE INTO imported_file VALUES(?1, ?2, ?3, ?4, ?5, ?6, "
                              "strftime('%Y-%m-%dT%H:%M:%SZ', 'now'))");
    addToMeta_ = db_.Prepare("UPDATE meta SET value = value + ?2 WHERE key = ?1");
    rank_ = std::make_unique<RankWriter>(db_);
}

void IndexWriter::SplitListsFrom(std::size_t postings) {
    rank_->SplitListsFrom(postings);
}

void IndexWriter::HoldMergedRows(std::size_t bytes) {
    rank_->HoldMergedRows(bytes);
}

IndexWriter::~IndexWriter() {
    // Reached with a transaction open only when the import failed, perhaps halfway through
    // a record: what was committed before stands, the rest goes.
    if (writing_ && !sqlite3_get_autocommit(db_.Handle())) {
        try {
            db_.Exec("ROLLBACK");
        } catch (const SqliteError&) {
            // Closing the connection rolls back all the same.
        }
    }
}

void IndexWriter::Begin() {
    inTransaction_ = true;
}

void IndexWriter::BeginWriting() {
    inTransaction_ = true;
    if (writing_) return;
    checkpointer_->Wait();
    db_.Exec("BEGIN");
    writing_ = true;
}

void IndexWriter::EndWriting() {
    db_.Exec("COMMIT");
    inTransaction_ = writing_ = false;
    checkpointer_->Request();
}

namespace {

// The texts must outlive the statement's run.
Statement& BindTexts(Statement& statement, std::int64_t id,
                     const std::array<std::string_view, IndexedText::kColumns>& columns) {
    statement.Bind(1, id);
    for (int i = 0; i < IndexedText::kColumns; ++i)
        statement.BindStatic(2 + i, columns[i]);
    return statement;
}

// The ranking engine's terms of a record's texts; a tokenizer a thread.
std::vector<TermFrequency> RankedTerms(const IndexedText& t) {
    thread_local Tokenizer tokenizer;
    return RecordTerms(tokenizer, t.title, t.abstract, t.authors, t.mesh, t.keywords);
}

} // namespace

PreparedRecord Prepare(Article&& a) {
    const IndexedText t = TextsOf(a);
    thread_local Tokenizer tokenizer;
    std::string tokens;
    const std::string terms = EncodedRecordTerms(tokenizer, t.title, t.abstract, t.authors,
                                                 t.mesh, t.keywords, &tokens);
    const std::string details = EncodeDetails(a);
    const std::string firstAuthor = FirstAuthorName(a);
    const std::string journal = SortName(a.journal);
    const std::string* fields[] = {
        &a.title,   &a.authors, &a.journal,   &a.pubdate,      &a.abstract, &a.doi,
        &a.pmcid,   &details,   &firstAuthor, &journal,        &terms,      &tokens, &t.title,
        &t.abstract, &t.authors, &t.mesh,   &t.keywords,      &t.affiliations, &t.tags};
    static_assert(std::size(fields) == PreparedRecord::kFields);
    PreparedRecord r;
    r.pmid = a.pmid;
    r.rankedWords = t.rankedWords;
    r.id = SortKey(a, LengthClass(t.rankedWords));
    std::size_t size = 0;
    for (const std::string* field : fields)
        size += field->size();
    r.texts_.reserve(size);
    for (int i = 0; i < PreparedRecord::kFields; ++i) {
        r.ends_[i] = static_cast<std::uint32_t>(r.texts_.size());
        r.texts_ += *fields[i];
    }
    r.ends_[PreparedRecord::kFields] = static_cast<std::uint32_t>(r.texts_.size());
    return r;
}

bool IndexWriter::Put(const Article& a) {
    return Put(Prepare(Article(a)));
}

bool IndexWriter::Put(PreparedRecord&& record) {
    Begin();
    const std::int64_t pmid = record.pmid, words = record.rankedWords;
    names_.Add(SortColumn::FirstAuthor, record.Get(PreparedRecord::kFirstAuthorKey), 1);
    names_.Add(SortColumn::Journal, record.Get(PreparedRecord::kJournalKey), 1);
    bool replaced = false;
    if (const auto earlier = pendingByPmid_.find(pmid); earlier != pendingByPmid_.end()) {
        // As a delete of the earlier record followed by an insert.
        Pending& slot = pending_[earlier->second];
        names_.Add(SortColumn::FirstAuthor, slot.Get(PreparedRecord::kFirstAuthorKey), -1);
        names_.Add(SortColumn::Journal, slot.Get(PreparedRecord::kJournalKey), -1);
        wordsAdded_ -= slot.rankedWords;
        --recordsAdded_;
        ++changes_;
        static_cast<PreparedRecord&>(slot) = std::move(record);
        slot.removed = false;
        replaced = true;
    } else {
        replaced = DeleteStored(pmid);
        pendingByPmid_.emplace(pmid, pending_.size());
        pending_.emplace_back();
        static_cast<PreparedRecord&>(pending_.back()) = std::move(record);
    }
    ++changes_;
    ++recordsAdded_;
    wordsAdded_ += words;
    if (pending_.size() >= kPendingRecords) WritePending();
    return replaced;
}

void IndexWriter::WritePending() {
    BeginWriting();
    std::vector<const Pending*> order;
    order.reserve(pending_.size());
    for (const Pending& p : pending_)
        if (!p.removed) order.push_back(&p);
    // Records come in PMID order as a rule: appended, the table's pages are written once.
    std::sort(order.begin(), order.end(),
              [](const Pending* x, const Pending* y) { return x->pmid < y->pmid; });
    using F = PreparedRecord::Field;
    for (const Pending* p : order) {
        insertArticle_.Bind(1, p->id).Bind(2, p->pmid);
        for (int field = F::kTitle; field < F::kDetails; ++field)
            insertArticle_.BindStatic(3 + field, p->Get(field));
        insertArticle_.BindBlobStatic(10, p->Get(F::kDetails)).Run();
        insertSortName_.Bind(1, p->pmid).BindStatic(2, p->Get(F::kFirstAuthorKey));
        insertSortName_.BindStatic(3, p->Get(F::kJournalKey)).Run();
    }
    std::sort(order.begin(), order.end(),
              [](const Pending* x, const Pending* y) { return x->id < y->id; });
    std::vector<RankWriter::Record> ranked;
    ranked.reserve(order.size());
    // The armed texts are the records', which a failed write may free.
    struct Disarming {
        TokenReplay& replay;
        ~Disarming() { replay.Disarm(); }
    } disarming{replay_};
    for (const Pending* p : order) {
        const auto columns = p->Columns();
        replay_.Arm({columns[0], columns[1], columns[2], columns[3], columns[4]},
                    p->Get(F::kTerms), p->Get(F::kTokens));
        BindTexts(insertText_, p->id, columns).Run();
        ranked.push_back({p->id, p->Get(F::kTerms)});
    }
    rank_->AddSegment(ranked);
    pending_.clear();
    pendingByPmid_.clear();
}

bool IndexWriter::Delete(std::int64_t pmid) {
    Begin();
    const auto waiting = pendingByPmid_.find(pmid);
    if (waiting == pendingByPmid_.end()) return DeleteStored(pmid);
    Pending& p = pending_[waiting->second];
    names_.Add(SortColumn::FirstAuthor, p.Get(PreparedRecord::kFirstAuthorKey), -1);
    names_.Add(SortColumn::Journal, p.Get(PreparedRecord::kJournalKey), -1);
    p.removed = true;
    pendingByPmid_.erase(waiting);
    ++changes_;
    --recordsAdded_;
    wordsAdded_ -= p.rankedWords;
    return true;
}

bool IndexWriter::DeleteStored(std::int64_t pmid) {
    find_.Bind(1, pmid);
    if (!find_.Step()) {
        find_.Reset();
        return false;
    }
    const std::int64_t id = find_.Int(0);
    Article old;
    try {
        old = ReadArticle(find_, 1);
    } catch (...) {
        find_.Reset();
        throw;
    }
    find_.Reset();
    const IndexedText texts = TextsOf(old);
    BeginWriting();
    BindTexts(deleteText_, id, texts.Columns()).Run();
    rank_->Remove(id, RankedTerms(texts));
    names_.Add(SortColumn::FirstAuthor, FirstAuthorName(old), -1);
    names_.Add(SortColumn::Journal, SortName(old.journal), -1);
    deleteArticle_.Bind(1, pmid).Run();
    deleteSortName_.Bind(1, pmid).Run();
    ++changes_;
    --recordsAdded_;
    wordsAdded_ -= texts.rankedWords;
    return true;
}

void IndexWriter::RecordImportedFile(const ImportedFile& f) {
    BeginWriting();
    recordFile_.Bind(1, f.name).Bind(2, f.md5).Bind(3, std::int64_t{f.added});
    recordFile_.Bind(4, std::int64_t{f.replaced}).Bind(5, std::int64_t{f.deleted});
    recordFile_.Bind(6, std::int64_t{f.skipped}).Run();
}

void IndexWriter::Commit() {
    if (!inTransaction_) return;
    WritePending();
    rank_->Flush();
    names_.Flush(db_);
    bump_.Run();
    addToMeta_.Bind(1, "unmerged").Bind(2, changes_).Run();
    addToMeta_.Bind(1, "records").Bind(2, recordsAdded_).Run();
    addToMeta_.Bind(1, "ranked_words").Bind(2, wordsAdded_).Run();
    changes_ = recordsAdded_ = wordsAdded_ = 0;
    EndWriting();
}

void IndexWriter::Rollback() {
    if (!inTransaction_) return;
    inTransaction_ = writing_ = false;
    rank_->Forget();
    names_.Forget();
    pending_.clear();
    pendingByPmid_.clear();
    changes_ = recordsAdded_ = wordsAdded_ = 0;
    // Some errors (a full disk) roll the transaction back by themselves.
    if (!sqlite3_get_autocommit(db_.Handle())) db_.Exec("ROLLBACK");
}

std::vector<ImportedFile> ReadImportedFiles(const std::string& index) {
    std::vector<ImportedFile> files;
    if (access(index.c_str(), F_OK) != 0) return files;
    Database db(index, SQLITE_OPEN_READONLY);
    sqlite3_stmt* probe = nullptr;
    // An index made before the table existed has imported no file this way.
    const bool hasTable = sqlite3_prepare_v2(db.Handle(), "SELECT 1 FROM imported_file", -1, &probe,
                                             nullptr) == SQLITE_OK;
    sqlite3_finalize(probe);
    if (!hasTable) return files;
    Statement all = db.Prepare("SELECT name, md5, added, replaced, deleted, skipped, imported_at "
                               "FROM imported_file ORDER BY rowid");
    while (all.Step())
        files.push_back({all.Text(0), all.Text(1), static_cast<long>(all.Int(2)),
                         static_cast<long>(all.Int(3)), static_cast<long>(all.Int(4)),
                         static_cast<long>(all.Int(5)), all.Text(6)});
    return files;
}

void IndexWriter::MergeIfDue() {
    Commit();
    Statement counts = db_.Prepare("SELECT (SELECT value FROM meta WHERE key = 'unmerged'), "
                                   "(SELECT value FROM meta WHERE key = 'records')");
    const bool read = counts.Step();
    const std::int64_t changed = read ? counts.Int(0) : 0;
    const std::int64_t records = read ? counts.Int(1) : 0;
    counts.Reset();
    if (changed == 0 || changed * kMergeShare < records) return;
    // The merges stream what they rewrite; the import's cache (1 GB) would only add to
    // their memory (2.06 GB at its peak at 10 million records, 1.82 without the ranking's).
    // Its pages go back to the system: the merge's arrays are mapped apart from the heap.
    db_.Exec("PRAGMA cache_size=-131072");
    malloc_trim(0);
    // The ranking too: at 10 million records its eight segments made a search read each
    // word's list eight times, and ranked pages took twice as long. It is read and merged
    // on a thread of its own while this one writes what it made so far. It commits on its
    // own, so that an import killed in the full text's merge (minutes) keeps it; and before
    // that merge, whose freed pages would scatter its lists, which a search from disk reads
    // in long runs.
    auto rankMerge = rank_->StartMergeAll(sqlite3_db_filename(db_.Handle(), "main"));
    BeginWriting();
    try {
        rank_->FinishMergeAll(*rankMerge);
    } catch (...) {
        Rollback();
        throw;
    }
    EndWriting();
    BeginWriting();
    db_.Exec("INSERT INTO article_fts(article_fts) VALUES('optimize');"
             "UPDATE meta SET value = 0 WHERE key = 'unmerged'");
    EndWriting();
    // The merges rewrote most of the file: their copy out of the log is part of them (and
    // of an import's time), not of the writer's closing.
    checkpointer_->Wait();
}

void KeepSearchMemory() {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
}

IndexReader::IndexReader(const std::string& path) : db_(path, SQLITE_OPEN_READWRITE) {
    // Reads go through read(), not a memory map: a file cut short under a mapped read
    // raises SIGBUS and ends the server, where read() fails and the request gets a 500.
    // The map gained nothing on searches with the file in the OS cache, and made them
    // slower from disk (a fault for each 4 KiB instead of one read a page).
    db_.Exec("PRAGMA query_only=1; PRAGMA mmap_size=0; PRAGMA cache_size=-65536;");
    RequireSchema(SchemaVersionOf(db_), path);
    rank_ = std::make_unique<RankReader>(db_);
    RegisterRankFunction(db_.Handle());
    generation_ = db_.Prepare("SELECT value FROM meta WHERE key = 'generation'");
    // FTS5 takes the rowid bounds as where its doclists start and stop.
    const std::string limit = std::to_string(kMaxCountedMatches);
    const std::string matches = "SELECT rowid FROM article_fts WHERE article_fts MATCH ?1 "
                                "AND rowid >= ?2 AND rowid <= ?3";
    count_ = db_.Prepare("SELECT count(*) FROM (" + matches + " LIMIT " + limit + ")");
    countAll_ = db_.Prepare("SELECT count(*) FROM (SELECT 1 FROM article_fts WHERE article_fts "
                            "MATCH ?1 LIMIT ?2)");
    // A match's rowid holds its record's PMID.
    page_ = db_.Prepare("SELECT a.pmid, a.title, a.authors, a.journal, a.pubdate FROM (" + matches +
                        " ORDER BY rowid LIMIT ?4 OFFSET ?5) m JOIN article a ON a.pmid = " +
                        PmidOfKeySql("m.rowid") + " ORDER BY m.rowid");
    // The function takes each match into a TopMatches.
    best_ = db_.Prepare("SELECT count(*) FROM article_fts WHERE article_fts MATCH ?1 AND "
                        "rowid >= ?2 AND rowid <= ?3 AND tamix_rank(article_fts, ?4, ?5, ?6)");
    countUnder_ = db_.Prepare("SELECT count(*) FROM (" + matches + " LIMIT ?4)");
    keysUnder_ = db_.Prepare(matches + " ORDER BY rowid LIMIT ?4");
    authorOf_ = db_.Prepare("SELECT first_author FROM sort_name WHERE pmid = ?1");
    journalOf_ = db_.Prepare("SELECT journal FROM sort_name WHERE pmid = ?1");
    children_ =
        db_.Prepare("SELECT node, records FROM order_node WHERE kind = ?1 AND level = ?2 AND "
                    "node >= ?3 AND node < ?4 AND records > 0 ORDER BY node");
    summaryOfPmid_ =
        db_.Prepare("SELECT pmid, title, authors, journal, pubdate FROM article WHERE pmid = ?1");
    find_ = db_.Prepare(std::string("SELECT ") + kArticleColumns + " FROM article WHERE pmid = ?1");
    stats_ = db_.Prepare("SELECT (SELECT value FROM meta WHERE key = 'records'), "
                         "(SELECT value FROM meta WHERE key = 'ranked_words')");
}

std::int64_t IndexReader::Generation() {
    const std::int64_t value = generation_.Step() ? generation_.Int(0) : 0;
    generation_.Reset();
    return value;
}

int IndexReader::Count(const Search& search) {
    if (search.MatchesNothing()) return 0;
    if (CountedByAWord(search)) return kMaxCountedMatches;
    count_.Bind(1, search.match).Bind(2, search.firstRowid).Bind(3, search.lastRowid);
    const int value = count_.Step() ? static_cast<int>(count_.Int(0)) : 0;
    count_.Reset();
    return value;
}

// A search of one word in every field, or of words joined by OR, matches at least the
// records that hold one of those words, which the ranking counts at each commit (deleted
// and replaced records taken off): where a word is that common, FTS5's lists need not be
// read to count to the cap. Four common words took 2 ms so from memory, 9 from disk.
bool IndexReader::CountedByAWord(const Search& search) {
    if (search.Spanned() || search.tree.size() != 1) return false;
    const auto common = [&](const SearchNode& node) {
        if (node.kind != SearchNode::Phrase || node.prefix || node.columns != kAllColumns)
            return false;
        const std::vector<std::string> terms = tokenizer_.Terms(node.text);
        return terms.size() == 1 && rank_->Records(terms[0]) >= kMaxCountedMatches;
    };
    const SearchNode& root = search.tree[0];
    if (root.kind == SearchNode::Or)
        return std::any_of(root.operands.begin(), root.operands.end(), common);
    return common(root);
}

std::int64_t IndexReader::CountUpTo(const std::string& match, std::int64_t limit) {
    if (match.empty()) return 0;
    countAll_.Bind(1, match).Bind(2, limit);
    const std::int64_t value = countAll_.Step() ? countAll_.Int(0) : 0;
    countAll_.Reset();
    return value;
}

std::vector<ArticleSummary> IndexReader::Page(const Search& search, int offset, int limit) {
    std::vector<ArticleSummary> items;
    if (search.MatchesNothing()) return items;
    page_.Bind(1, search.match).Bind(2, search.firstRowid).Bind(3, search.lastRowid);
    page_.Bind(4, limit).Bind(5, offset);
    while (page_.Step())
        items.push_back({page_.Int(0), page_.Text(1), page_.Text(2), page_.Text(3), page_.Text(4)});
    page_.Reset();
    return items;
}

std::vector<std::int64_t> IndexReader::ScoreEveryMatch(const Search& search,
                                                       const std::vector<double>& weights,
                                                       double averageLength, int limit) {
    if (search.MatchesNothing() || limit <= 0) return {};
    const ScoringQuery query = MakeScoringQuery(search, weights);
    if (query.match.empty()) return {};
    TopMatches top(limit);
    best_.Bind(1, query.match).Bind(2, search.firstRowid).Bind(3, search.lastRowid);
    best_.Bind(4, query.plan).BindDouble(5, averageLength);
    sqlite3_bind_pointer(best_.Handle(), 6, &top, TopMatches::kPointerType, nullptr);
    best_.Run();
    return top.Take();
}

std::vector<std::int64_t> IndexReader::Ordered(const Search& search, SortColumn column,
                                               int limit) {
    if (search.MatchesNothing() || limit <= 0) return {};
    // The search's matches under one token of the column's names.
    const auto under = [&](const std::string& token) {
        return token.empty() ? search.match : "(" + search.match + ") AND tags : " + QuoteFts5(token);
    };
    const auto keys = [&](const std::string& match, int most) {
        std::vector<std::int64_t> found;
        keysUnder_.Bind(1, match).Bind(2, search.firstRowid).Bind(3, search.lastRowid);
        keysUnder_.Bind(4, most);
        while (keysUnder_.Step())
            found.push_back(keysUnder_.Int(0));
        keysUnder_.Reset();
        return found;
    };
    OrderSource source;
    source.count = [&](const std::string& token, int most) {
        countUnder_.Bind(1, under(token)).Bind(2, search.firstRowid).Bind(3, search.lastRowid);
        countUnder_.Bind(4, most);
        const int value = countUnder_.Step() ? static_cast<int>(countUnder_.Int(0)) : 0;
        countUnder_.Reset();
        return value;
    };
    source.keys = [&](const std::string& token, int most) { return keys(under(token), most); };
    source.names = [&](const std::vector<std::int64_t>& ids) {
        Statement& of = column == SortColumn::FirstAuthor ? authorOf_ : journalOf_;
        std::vector<std::string> names;
        for (const std::int64_t id : ids) {
            of.Bind(1, PmidOfKey(id));
            names.push_back(of.Step() ? of.Text(0) : std::string());
            of.Reset();
        }
        return names;
    };
    source.children = [&](const std::string& prefix, std::size_t length) {
        std::vector<OrderNode> nodes;
        children_.Bind(1, column == SortColumn::FirstAuthor ? 1 : 2);
        children_.Bind(2, static_cast<std::int64_t>(length)).BindBlob(3, prefix);
        children_.BindBlob(4, prefix + "\xFF");
        while (children_.Step())
            nodes.push_back({children_.Text(0), children_.Int(1)});
        children_.Reset();
        return nodes;
    };
    std::vector<std::int64_t> ordered = NamedInOrder(column, source, limit);
    // Then the matches without a name, newest first.
    if (static_cast<int>(ordered.size()) < limit) {
        const std::vector<std::int64_t> nameless =
            keys(under(OrderToken(column, "")), limit - static_cast<int>(ordered.size()));
        ordered.insert(ordered.end(), nameless.begin(), nameless.end());
    }
    return ordered;
}

std::vector<ArticleSummary> IndexReader::Summaries(const std::vector<std::int64_t>& ids) {
    std::vector<std::int64_t> pmids;
    pmids.reserve(ids.size());
    for (const std::int64_t id : ids)
        pmids.push_back(PmidOfKey(id));
    return SummariesOfPmids(pmids);
}

std::vector<ArticleSummary> IndexReader::SummariesOfPmids(const std::vector<std::int64_t>& pmids) {
    std::vector<ArticleSummary> items;
    for (const std::int64_t pmid : pmids) {
        summaryOfPmid_.Bind(1, pmid);
        if (summaryOfPmid_.Step())
            items.push_back({summaryOfPmid_.Int(0), summaryOfPmid_.Text(1), summaryOfPmid_.Text(2),
                             summaryOfPmid_.Text(3), summaryOfPmid_.Text(4)});
        summaryOfPmid_.Reset();
    }
    return items;
}

std::optional<Article> IndexReader::Find(std::int64_t pmid) {
    find_.Bind(1, pmid);
    std::optional<Article> article;
    try {
        if (find_.Step()) article = ReadArticle(find_, 0);
    } catch (...) {
        find_.Reset();
        throw;
    }
    find_.Reset();
    return article;
}

std::int64_t IndexReader::Size() {
    return Stats().records;
}

RankStats IndexReader::Stats() {
    RankStats stats;
    if (stats_.Step()) {
        stats.records = stats_.Int(0);
        stats.averageLength =
            stats.records > 0 ? static_cast<double>(stats_.Int(1)) / stats.records : 0.0;
    }
    stats_.Reset();
    return stats;
}

std::string IndexFileProblem(const std::string& path, bool forImport) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return errno == ENOENT && forImport ? std::string() : std::strerror(errno);
    if (S_ISDIR(info.st_mode)) return "it is a folder, not an index file";
    if (!S_ISREG(info.st_mode)) return "it is not a regular file";
    if (info.st_size > 0) {
        // Checked here because SQLite would only find out at the first query.
        char header[16] = {};
        std::ifstream file(path, std::ios::binary);
        if (!file) return std::strerror(errno);
        file.read(header, sizeof header);
        if (file.gcount() != sizeof header || std::memcmp(header, "SQLite format 3", 16) != 0)
            return "it is not an index (not a SQLite database)";
    }
    std::set<std::string> tables;
    try {
        // An empty file stays empty: without SQLITE_OPEN_CREATE nothing is written.
        Database db(path, SQLITE_OPEN_READWRITE);
        Statement names = db.Prepare("SELECT name FROM sqlite_master WHERE type = 'table'");
        while (names.Step())
            tables.insert(names.Text(0));
    } catch (const SqliteError& e) {
        return std::string("it cannot be read as an index: ") + sqlite3_errstr(e.Code());
    }
    if (tables.empty() && !forImport)
        return info.st_size == 0 ? "it is an empty file, not an index"
                                 : "it is not an index (it holds no tables yet)";
    if (tables.empty()) return {};
    for (const char* table : {"meta", "article", "article_fts"}) {
        if (!tables.count(table))
            return "it is not an index (a SQLite database without the index's tables)";
    }
    return {};
}

} // namespace tamix::server
