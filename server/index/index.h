// The index: one SQLite file holding the records (table article) and an FTS5 index
// over title, abstract, authors and a column of date and PMID tags. Rowids are the
// sort key (publication date, then PMID, negated), so newest-first reads only the rows
// it shows, and a span of years is a span of rowids.
#pragma once

#include "server/index/sqlite.h"
#include "server/records/article.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tamix::server {

// PubMed's own searches stop counting here.
inline constexpr int kMaxCountedMatches = 10000;

// A file of NLM's whose records are in the index, as the mirror records it.
struct ImportedFile {
    std::string name; // "pubmed26n0001.xml.gz"
    std::string md5;  // lower-case hex
    long added = 0, replaced = 0, deleted = 0, skipped = 0;
    std::string importedAt; // UTC, "2026-01-05T04:12:33Z"
};

// The layout the index's tables follow; an index of another layout is refused, never
// read or written.
inline constexpr int kSchemaVersion = 2;

class SchemaError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What one search asks of the index: the records that an FTS5 expression matches, within
// a span of rowids (dates).
struct Search {
    std::string match;
    std::int64_t firstRowid = std::numeric_limits<std::int64_t>::min();
    std::int64_t lastRowid = std::numeric_limits<std::int64_t>::max();

    bool Spanned() const {
        return firstRowid != std::numeric_limits<std::int64_t>::min() ||
               lastRowid != std::numeric_limits<std::int64_t>::max();
    }
    // No words, or dates that exclude each other.
    bool MatchesNothing() const { return match.empty() || firstRowid > lastRowid; }
    // Tells searches apart, for caches.
    std::string Key() const {
        return std::to_string(firstRowid) + ":" + std::to_string(lastRowid) + ":" + match;
    }
};

// Writes records into the index; one writer at a time, readers may go on meanwhile.
class IndexWriter {
public:
    explicit IndexWriter(const std::string& path);
    ~IndexWriter();

    // Adds the record, replacing an earlier one of the same PMID; true when it replaced one.
    bool Put(const Article& article);
    // Removes the record of that PMID; false when there was none.
    bool Delete(std::int64_t pmid);
    // Notes a file in the table of imported files, in the open transaction, so that it
    // commits together with the file's last records or not at all. importedAt is filled in.
    void RecordImportedFile(const ImportedFile& file);
    // Makes everything so far visible to readers and starts a new transaction. What was
    // not committed when the writer is destroyed is rolled back.
    void Commit();
    // Forgets everything since the last commit.
    void Rollback();
    // Commits, and merges the full-text index into one segment once the records changed
    // since the last merge make up a sixteenth of the index. FTS5 seeks slowly through
    // many segments, which a search within dates does at every step; one merge costs
    // about a rewrite of the full-text index.
    void MergeIfDue();

private:
    static constexpr std::int64_t kMergeShare = 16;

    void Begin();

    Database db_;
    Statement find_, deleteArticle_, deleteText_, insertArticle_, insertText_, bump_, recordFile_,
        addUnmerged_;
    bool inTransaction_ = false;
    std::int64_t changes_ = 0;
};

// The files recorded by RecordImportedFile, in the order they were imported; none when the
// index does not exist yet.
std::vector<ImportedFile> ReadImportedFiles(const std::string& index);

struct ArticleSummary {
    std::int64_t pmid = 0;
    std::string title, authors, journal, pubdate;
};

// Reads the index; one per thread.
class IndexReader {
public:
    explicit IndexReader(const std::string& path);

    // Changes whenever a writer commits.
    std::int64_t Generation();
    // Matches, counted up to kMaxCountedMatches.
    int Count(const Search& search);
    // Newest first, skipping offset matches.
    std::vector<ArticleSummary> Page(const Search& search, int offset, int limit);
    std::optional<Article> Find(std::int64_t pmid);
    std::int64_t Size();

private:
    Database db_;
    Statement generation_, count_, page_, find_, size_;
};

// Why the file cannot be an index, as words to follow "cannot serve FILE: "; "" when it
// can. Reads the schema only, so it answers at once on an index of any size. With
// forImport a missing or empty file is fine (the import makes the index), and so is a
// database without tables, as an import killed at its very start leaves one.
std::string IndexFileProblem(const std::string& path, bool forImport);

// The rowid that orders records newest first, ascending: date, then PMID, negated.
std::int64_t SortKey(const Article& article);
// The FTS5 tags column: "y2020 d202 c20 m2 p12345" (year, decade, century, millennium
// of the publication date, which has no tags when its year is unknown; PMID).
std::string TagsOf(const Article& article);
// The fewest tags (years, decades, centuries, millennia) that together hold exactly
// the records of the years from..to (1 <= from <= to <= 9999): 63 at most.
std::vector<std::string> YearTags(int from, int to);
// The rowids of the records published in the years from..to (1 <= from <= to <= 9999).
void YearRowids(int from, int to, std::int64_t& first, std::int64_t& last);

} // namespace tamix::server
