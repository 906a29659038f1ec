// The index: one SQLite file holding the records (table article) and an FTS5 index
// over title, abstract, authors and a column of year and PMID tags. Rowids are the
// sort key (publication date, then PMID, negated), so newest-first reads only the rows
// it shows.
#pragma once

#include "server/index/sqlite.h"
#include "server/records/article.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tamix::server {

// PubMed's own searches stop counting here.
inline constexpr int kMaxCountedMatches = 10000;

// Writes records into the index; one writer at a time, readers may go on meanwhile.
class IndexWriter {
public:
    explicit IndexWriter(const std::string& path);
    ~IndexWriter();

    // Adds the record, replacing an earlier one of the same PMID.
    void Put(const Article& article);
    // Removes the record of that PMID; false when there was none.
    bool Delete(std::int64_t pmid);
    // Makes everything so far visible to readers and starts a new transaction. What was
    // not committed when the writer is destroyed is rolled back.
    void Commit();

private:
    Database db_;
    Statement find_, deleteArticle_, deleteText_, insertArticle_, insertText_, bump_;
    bool inTransaction_ = false;
};

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
    // Matches of an FTS5 expression, counted up to kMaxCountedMatches.
    int Count(const std::string& match);
    // Newest first, skipping offset matches.
    std::vector<ArticleSummary> Page(const std::string& match, int offset, int limit);
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
// The FTS5 tags column: "y2020 p12345".
std::string TagsOf(const Article& article);

} // namespace tamix::server
