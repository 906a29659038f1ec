#include "server/index/index.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace tamix::server {

namespace {

// Version 1 (no 'schema' row) tagged years only. Whoever changes the tables, the tags
// or the rowids raises kSchemaVersion.
constexpr const char* kSchema = R"sql(
CREATE TABLE meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;
INSERT INTO meta VALUES('generation', 0);
INSERT INTO meta VALUES('unmerged', 0);
CREATE TABLE article(
    id INTEGER PRIMARY KEY,
    pmid INTEGER NOT NULL UNIQUE,
    title TEXT NOT NULL,
    authors TEXT NOT NULL,
    journal TEXT NOT NULL,
    pubdate TEXT NOT NULL,
    abstract TEXT NOT NULL,
    doi TEXT NOT NULL,
    pmcid TEXT NOT NULL,
    tags TEXT NOT NULL);
CREATE VIRTUAL TABLE article_fts USING fts5(
    title, abstract, authors, tags,
    content='article', content_rowid='id',
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

// Keys of one date never collide: readers keep PMIDs under 10^8.
constexpr std::int64_t kPmidSpan = 1000000000;

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

std::int64_t SortKey(const Article& a) {
    const std::int64_t date = (static_cast<std::int64_t>(a.year) * 100 + a.month) * 100 + a.day;
    // Negated: FTS5 walks rowids upwards fastest, and newest first is what is asked for.
    return -(date * kPmidSpan + a.pmid);
}

std::string TagsOf(const Article& a) {
    std::string tags;
    if (a.year > 0)
        tags = YearTag('y', a.year) + " " + YearTag('d', a.year / 10) + " " +
               YearTag('c', a.year / 100) + " " + YearTag('m', a.year / 1000) + " ";
    return tags + "p" + std::to_string(a.pmid);
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
    first = -highest;
    last = -lowest;
}

IndexWriter::IndexWriter(const std::string& path)
    : db_(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) {
    // Large pages suit an index of long texts (they take effect on a new file only).
    // WAL lets the server read the index while an update is imported into it.
    db_.Exec("PRAGMA page_size=16384;");
    db_.Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-262144;"
             "PRAGMA temp_store=MEMORY;");
    const int version = SchemaVersionOf(db_);
    if (version != 0) RequireSchema(version, path);
    // One transaction, so that an import killed at its start leaves either no tables or
    // all of them.
    db_.Exec("BEGIN");
    if (version == 0) {
        db_.Exec(kSchema);
        db_.Exec(("INSERT INTO meta VALUES('schema', " + std::to_string(kSchemaVersion) + ")")
                     .c_str());
    }
    // Fewer, larger merges: a third less work per imported record than FTS5's default.
    db_.Exec("INSERT INTO article_fts(article_fts, rank) VALUES('automerge', 16)");
    db_.Exec("INSERT INTO article_fts(article_fts, rank) VALUES('pgsz', 16000)");
    db_.Exec("COMMIT");
    find_ = db_.Prepare("SELECT id, title, abstract, authors, tags FROM article WHERE pmid = ?1");
    deleteArticle_ = db_.Prepare("DELETE FROM article WHERE id = ?1");
    deleteText_ = db_.Prepare("INSERT INTO article_fts(article_fts, rowid, title, abstract, "
                              "authors, tags) VALUES('delete', ?1, ?2, ?3, ?4, ?5)");
    insertArticle_ =
        db_.Prepare("INSERT INTO article VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
    insertText_ = db_.Prepare("INSERT INTO article_fts(rowid, title, abstract, authors, tags) "
                              "VALUES(?1, ?2, ?3, ?4, ?5)");
    bump_ = db_.Prepare("UPDATE meta SET value = value + 1 WHERE key = 'generation'");
    recordFile_ = db_.Prepare("INSERT OR REPLACE INTO imported_file VALUES(?1, ?2, ?3, ?4, ?5, ?6, "
                              "strftime('%Y-%m-%dT%H:%M:%SZ', 'now'))");
    addUnmerged_ = db_.Prepare("UPDATE meta SET value = value + ?1 WHERE key = 'unmerged'");
}

IndexWriter::~IndexWriter() {
    // Reached with a transaction open only when the import failed, perhaps halfway through
    // a record: what was committed before stands, the rest goes.
    if (inTransaction_ && !sqlite3_get_autocommit(db_.Handle())) {
        try {
            db_.Exec("ROLLBACK");
        } catch (const SqliteError&) {
            // Closing the connection rolls back all the same.
        }
    }
}

void IndexWriter::Begin() {
    if (inTransaction_) return;
    db_.Exec("BEGIN");
    inTransaction_ = true;
}

bool IndexWriter::Put(const Article& a) {
    Begin();
    const bool replaced = Delete(a.pmid);
    ++changes_;
    const std::int64_t id = SortKey(a);
    const std::string tags = TagsOf(a);
    insertArticle_.Bind(1, id).Bind(2, a.pmid).Bind(3, a.title).Bind(4, a.authors);
    insertArticle_.Bind(5, a.journal).Bind(6, a.pubdate).Bind(7, a.abstract).Bind(8, a.doi);
    insertArticle_.Bind(9, a.pmcid).Bind(10, tags).Run();
    insertText_.Bind(1, id)
        .Bind(2, a.title)
        .Bind(3, a.abstract)
        .Bind(4, a.authors)
        .Bind(5, tags)
        .Run();
    return replaced;
}

bool IndexWriter::Delete(std::int64_t pmid) {
    Begin();
    find_.Bind(1, pmid);
    if (!find_.Step()) {
        find_.Reset();
        return false;
    }
    const std::int64_t id = find_.Int(0);
    deleteText_.Bind(1, id).Bind(2, find_.Text(1)).Bind(3, find_.Text(2));
    deleteText_.Bind(4, find_.Text(3)).Bind(5, find_.Text(4));
    find_.Reset();
    deleteText_.Run();
    deleteArticle_.Bind(1, id).Run();
    ++changes_;
    return true;
}

void IndexWriter::RecordImportedFile(const ImportedFile& f) {
    Begin();
    recordFile_.Bind(1, f.name).Bind(2, f.md5).Bind(3, std::int64_t{f.added});
    recordFile_.Bind(4, std::int64_t{f.replaced}).Bind(5, std::int64_t{f.deleted});
    recordFile_.Bind(6, std::int64_t{f.skipped}).Run();
}

void IndexWriter::Commit() {
    if (!inTransaction_) return;
    bump_.Run();
    addUnmerged_.Bind(1, changes_).Run();
    changes_ = 0;
    db_.Exec("COMMIT");
    inTransaction_ = false;
}

void IndexWriter::Rollback() {
    if (!inTransaction_) return;
    inTransaction_ = false;
    changes_ = 0;
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
    Statement unmerged = db_.Prepare("SELECT value FROM meta WHERE key = 'unmerged'");
    const std::int64_t changed = unmerged.Step() ? unmerged.Int(0) : 0;
    unmerged.Reset();
    Statement size = db_.Prepare("SELECT count(*) FROM article");
    const std::int64_t records = size.Step() ? size.Int(0) : 0;
    size.Reset();
    if (changed == 0 || changed * kMergeShare < records) return;
    db_.Exec("BEGIN");
    db_.Exec("INSERT INTO article_fts(article_fts) VALUES('optimize');"
             "UPDATE meta SET value = 0 WHERE key = 'unmerged'; COMMIT");
}

IndexReader::IndexReader(const std::string& path) : db_(path, SQLITE_OPEN_READWRITE) {
    db_.Exec("PRAGMA query_only=1; PRAGMA mmap_size=1073741824; PRAGMA cache_size=-65536;");
    RequireSchema(SchemaVersionOf(db_), path);
    generation_ = db_.Prepare("SELECT value FROM meta WHERE key = 'generation'");
    // FTS5 takes the rowid bounds as where its doclists start and stop.
    const std::string limit = std::to_string(kMaxCountedMatches);
    count_ = db_.Prepare("SELECT count(*) FROM (SELECT 1 FROM article_fts WHERE article_fts "
                         "MATCH ?1 AND rowid >= ?2 AND rowid <= ?3 LIMIT " +
                         limit + ")");
    page_ = db_.Prepare("SELECT a.pmid, a.title, a.authors, a.journal, a.pubdate FROM article a "
                        "JOIN (SELECT rowid FROM article_fts WHERE article_fts MATCH ?1 "
                        "AND rowid >= ?4 AND rowid <= ?5 "
                        "ORDER BY rowid LIMIT ?2 OFFSET ?3) m ON a.id = m.rowid "
                        "ORDER BY a.id");
    find_ = db_.Prepare("SELECT pmid, title, authors, journal, pubdate, abstract, doi, pmcid "
                        "FROM article WHERE pmid = ?1");
    size_ = db_.Prepare("SELECT count(*) FROM article");
}

std::int64_t IndexReader::Generation() {
    const std::int64_t value = generation_.Step() ? generation_.Int(0) : 0;
    generation_.Reset();
    return value;
}

int IndexReader::Count(const Search& search) {
    if (search.MatchesNothing()) return 0;
    count_.Bind(1, search.match).Bind(2, search.firstRowid).Bind(3, search.lastRowid);
    const int value = count_.Step() ? static_cast<int>(count_.Int(0)) : 0;
    count_.Reset();
    return value;
}

std::vector<ArticleSummary> IndexReader::Page(const Search& search, int offset, int limit) {
    std::vector<ArticleSummary> items;
    if (search.MatchesNothing()) return items;
    page_.Bind(1, search.match).Bind(2, limit).Bind(3, offset);
    page_.Bind(4, search.firstRowid).Bind(5, search.lastRowid);
    while (page_.Step())
        items.push_back({page_.Int(0), page_.Text(1), page_.Text(2), page_.Text(3), page_.Text(4)});
    page_.Reset();
    return items;
}

std::optional<Article> IndexReader::Find(std::int64_t pmid) {
    find_.Bind(1, pmid);
    std::optional<Article> article;
    if (find_.Step()) {
        article.emplace();
        article->pmid = find_.Int(0);
        article->title = find_.Text(1);
        article->authors = find_.Text(2);
        article->journal = find_.Text(3);
        article->pubdate = find_.Text(4);
        article->abstract = find_.Text(5);
        article->doi = find_.Text(6);
        article->pmcid = find_.Text(7);
    }
    find_.Reset();
    return article;
}

std::int64_t IndexReader::Size() {
    const std::int64_t value = size_.Step() ? size_.Int(0) : 0;
    size_.Reset();
    return value;
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
