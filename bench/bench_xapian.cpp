// Xapian (libxapian, its glass backend) on the sample corpus, to set beside our own index:
// the same records, the same terms and weighted frequencies, the same queries.
//
//   build   makes the records as `tamix-server sample` does, reads them back with our
//           reader, and adds one document a record: each term of the ranked fields with
//           wdf = our doubled weighted frequency (6 a title occurrence, 2 an abstract one,
//           3 a MeSH or keyword one), value 0 and data the PMID. Commits every 100,000
//           records; prints the rate of each slice, the peak memory and the bytes on disk.
//   search  BM25 over those wdfs (k1 2.4 on doubled frequencies is our k1 1.2, b 0.75),
//           top 10, in rounds that interleave every case at random, as tamix_bench_search
//           does: query-cold (a new Enquire, the database open and warm) and disk-cold
//           (the database reopened after its files left the page cache). Each query
//           twice: with Xapian's estimate of the matches, and with 10,000 of them checked
//           (as our pages count them). Prints the estimate, the exact count (untimed), the
//           times and the best three PMIDs. Then "similar articles" for records spread
//           over the database, with the words chosen as ours chooses them and with the
//           four rarest of the title alone.
//
//   tamix_bench_xapian build DB COUNT
//   tamix_bench_xapian search DB [ROUNDS]        default 9 rounds (disk-cold: a third)
#include "server/index/index.h"
#include "server/index/results.h"
#include "server/rank/terms.h"
#include "server/rank/tokenizer.h"
#include "server/records/readers.h"
#include "server/records/sample.h"

#include <xapian.h>

#include "request_times.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tamix::server;
using namespace tamix::bench;

constexpr Xapian::valueno kPmidSlot = 0;
constexpr int kCommitEvery = 100000;
// Records kept aside at build for the similar-articles runs: two sets of this many, so
// that each way of choosing words meets postings of its own, not those the other read.
constexpr int kSimilarRecords = 20;
// Xapian refuses terms longer than this; the sample has none, real records might.
constexpr std::size_t kMaxTermBytes = 240;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> files;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string path = dir + "/" + e->d_name;
            struct stat info {};
            if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) files.push_back(path);
        }
        ::closedir(d);
    }
    return files;
}

long long BytesIn(const std::string& dir) {
    long long bytes = 0;
    for (const std::string& file : FilesIn(dir)) {
        struct stat info {};
        if (::stat(file.c_str(), &info) == 0) bytes += info.st_size;
    }
    return bytes;
}

// As tamix_bench_search forgets the index file's pages, for every file of the database.
void EvictFromPageCache(const std::string& dir) {
    tamix::bench::EvictFromPageCache(FilesIn(dir));
}

// ---- build -------------------------------------------------------------------------

// What the writer needs of a record; the rest stays on the reading thread.
struct Prepared {
    std::int64_t pmid = 0;
    std::vector<TermFrequency> terms;
    std::string similar; // set for the records kept aside: see SimilarText
};

// The record as similar-articles needs it later: the PMID, the title and each heading
// with whether it (or one of its qualifiers) is a major topic, a line each.
std::string SimilarText(const Article& a) {
    std::string text = std::to_string(a.pmid) + "\n" + a.title + "\n";
    for (const MeshHeading& heading : a.mesh) {
        bool major = heading.major;
        for (const MeshQualifier& q : heading.qualifiers)
            major = major || q.major;
        text += (major ? "1 " : "0 ") + heading.descriptor + "\n";
    }
    return text;
}

Article FromSimilarText(const std::string& text) {
    Article a;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    a.pmid = std::atoll(line.c_str());
    std::getline(in, a.title);
    while (std::getline(in, line))
        if (line.size() > 2) a.mesh.push_back({line.substr(2), line[0] == '1', {}});
    return a;
}

// A bounded queue of batches from the reading thread to the writer, so that the sample
// (a gigabyte of XML a million records) never sits in memory whole.
class BatchQueue {
public:
    void Push(std::vector<Prepared>&& batch) {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [&] { return batches_.size() < 4; });
        batches_.push_back(std::move(batch));
        ready_.notify_one();
    }
    void Close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        ready_.notify_one();
    }
    // False when closed and drained.
    bool Pop(std::vector<Prepared>& batch) {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [&] { return !batches_.empty() || closed_; });
        if (batches_.empty()) return false;
        batch = std::move(batches_.front());
        batches_.pop_front();
        room_.notify_one();
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_, room_;
    std::deque<std::vector<Prepared>> batches_;
    bool closed_ = false;
};

// Takes the sample's XML as WriteSampleCorpus writes it and hands on whole records some
// megabytes at a time, each piece made a document of its own for ReadPubmedXmlText.
class RecordPieces : public std::streambuf {
public:
    explicit RecordPieces(std::function<void(std::string_view)> piece) : piece_(std::move(piece)) {}
    void Finish() { Hand(true); }

protected:
    int_type overflow(int_type c) override {
        if (c != traits_type::eof()) buffer_.push_back(static_cast<char>(c));
        if (buffer_.size() >= kPieceBytes) Hand(false);
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        buffer_.append(s, static_cast<std::size_t>(n));
        if (buffer_.size() >= kPieceBytes) Hand(false);
        return n;
    }

private:
    static constexpr std::size_t kPieceBytes = 4 << 20;
    static constexpr std::string_view kOpen = "<PubmedArticle>", kClose = "</PubmedArticle>";

    void Hand(bool last) {
        const std::size_t first = buffer_.find(kOpen);
        const std::size_t end = buffer_.rfind(kClose);
        if (first == std::string::npos || end == std::string::npos || end < first) return;
        const std::size_t stop = end + kClose.size();
        std::string text = "<PubmedArticleSet>\n";
        text.append(buffer_, first, stop - first);
        text += "\n</PubmedArticleSet>\n";
        buffer_.erase(0, last ? buffer_.size() : stop);
        piece_(text);
    }

    std::function<void(std::string_view)> piece_;
    std::string buffer_;
};

// The sample's records, read back and their terms counted as our index counts them, on
// a thread of their own (as our import prepares records on other threads than its writer).
void ReadSample(int count, BatchQueue& queue) {
    std::set<int> aside;
    for (int k = 0; k < 2 * kSimilarRecords; ++k)
        aside.insert(static_cast<int>(static_cast<long long>(count) * k / (2 * kSimilarRecords)));
    Tokenizer tokenizer;
    int index = 0;
    std::vector<Prepared> batch;
    RecordSink sink;
    sink.onArticle = [&](Article&& a) {
        const IndexedText t = TextsOf(a);
        Prepared p;
        p.pmid = a.pmid;
        // The ranked fields alone: words found only among the authors weigh nothing.
        p.terms = RecordTerms(tokenizer, t.title, t.abstract, {}, t.mesh, t.keywords);
        if (aside.count(index)) p.similar = SimilarText(a);
        ++index;
        batch.push_back(std::move(p));
    };
    sink.onSkip = [](const SourcePosition& at, const std::string& why) {
        std::fprintf(stderr, "%s:%ld: %s\n", at.file.c_str(), at.line, why.c_str());
    };
    RecordPieces pieces([&](std::string_view text) {
        std::string error;
        if (!ReadPubmedXmlText(text, "sample", sink, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
        queue.Push(std::move(batch));
        batch.clear();
    });
    std::ostream out(&pieces);
    WriteSampleCorpus(out, count);
    out.flush();
    pieces.Finish();
    if (!batch.empty()) queue.Push(std::move(batch));
    queue.Close();
}

int Build(const std::string& path, int count) {
    // Xapian flushes every 10,000 changes of its own accord; let the commits set the pace.
    ::setenv("XAPIAN_FLUSH_THRESHOLD", std::to_string(2 * kCommitEvery).c_str(), 0);
    Xapian::WritableDatabase db(path, Xapian::DB_CREATE_OR_OVERWRITE);
    BatchQueue queue;
    std::thread reader(ReadSample, count, std::ref(queue));

    const auto start = Clock::now();
    auto sliceStart = start;
    double inXapian = 0, sliceXapian = 0; // seconds in add_document and commit
    double sliceCommit = 0;
    long long added = 0;
    int aside = 0;
    std::vector<Prepared> batch;
    while (queue.Pop(batch)) {
        for (Prepared& p : batch) {
            const auto before = Clock::now();
            Xapian::Document doc;
            for (const TermFrequency& t : p.terms)
                if (t.f2 > 0 && t.term.size() <= kMaxTermBytes) doc.add_term(t.term, t.f2);
            doc.add_value(kPmidSlot, Xapian::sortable_serialise(static_cast<double>(p.pmid)));
            doc.set_data(std::to_string(p.pmid));
            const Xapian::docid id = db.add_document(doc);
            if (!p.similar.empty())
                db.set_metadata("similar" + std::to_string(aside++),
                                std::to_string(id) + "\n" + p.similar);
            ++added;
            const auto beforeCommit = Clock::now();
            if (added % kCommitEvery == 0) {
                db.commit();
                sliceCommit = Seconds(Clock::now() - beforeCommit);
            }
            sliceXapian += Seconds(Clock::now() - before);
            if (added % kCommitEvery == 0) {
                const auto now = Clock::now();
                std::printf("slice %8lld..%8lld: %8.0f records/s (%.1f s, %.1f s of it in "
                            "Xapian, %.1f s of that the commit)\n",
                            added - kCommitEvery, added, kCommitEvery / Seconds(now - sliceStart),
                            Seconds(now - sliceStart), sliceXapian, sliceCommit);
                std::fflush(stdout);
                inXapian += sliceXapian;
                sliceXapian = 0;
                sliceStart = now;
            }
        }
    }
    reader.join();
    const auto before = Clock::now();
    db.set_metadata("similar.count", std::to_string(aside));
    db.commit();
    db.close();
    inXapian += sliceXapian + Seconds(Clock::now() - before);
    const double total = Seconds(Clock::now() - start);

    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    const long long bytes = BytesIn(path);
    std::printf("overall: %lld records in %.1f s: %.0f records/s; %.1f s in Xapian's "
                "add_document and commit\n",
                added, total, added / total, inXapian);
    std::printf("peak RSS %.0f MB; database %lld bytes on disk, %.0f bytes/record\n",
                usage.ru_maxrss / 1024.0, bytes,
                added > 0 ? static_cast<double>(bytes) / added : 0.0);
    return added == count ? 0 : 1;
}

// ---- search ------------------------------------------------------------------------

// BM25 as our index computes it, on frequencies kept doubled: k1 doubled to match. k2 0
// (no extra length term), k3 1 (a query word counts once), min_normlen Xapian's default.
Xapian::BM25Weight OurBm25() { return Xapian::BM25Weight(2.4, 0, 1, 0.75, 0.5); }

// Our syntax for the few forms measured here: words, AND, OR (AND binding tighter); each
// word's terms as our tokenizer makes them, a word of several terms requiring them all.
Xapian::Query ToXapian(Tokenizer& tokenizer, const std::string& text) {
    std::vector<Xapian::Query> any;
    std::vector<Xapian::Query> all;
    std::istringstream words(text);
    std::string word;
    const auto endAll = [&] {
        if (!all.empty()) any.emplace_back(Xapian::Query::OP_AND, all.begin(), all.end());
        all.clear();
    };
    while (words >> word) {
        if (word == "OR") {
            endAll();
        } else if (word != "AND") {
            for (const std::string& term : tokenizer.Terms(word))
                all.emplace_back(term);
        }
    }
    endAll();
    if (any.size() == 1) return any[0];
    return Xapian::Query(Xapian::Query::OP_OR, any.begin(), any.end());
}

struct Case {
    std::string query;
    bool counted = false; // check 10,000 matches, as our pages count them
    std::vector<double> queryCold, diskCold;
    Xapian::doccount estimate = 0;
    std::vector<std::string> top;
};

// One request: the query made, the best ten found, and each one's PMID read, as a page
// reads its summaries.
double Request(const Xapian::Database& db, Tokenizer& tokenizer, Case& c) {
    const auto start = Clock::now();
    Xapian::Enquire enquire(db);
    enquire.set_weighting_scheme(OurBm25());
    enquire.set_query(ToXapian(tokenizer, c.query));
    const Xapian::MSet mset = enquire.get_mset(0, 10, c.counted ? 10000 : 0);
    std::vector<std::string> pmids;
    for (auto it = mset.begin(); it != mset.end(); ++it)
        pmids.push_back(it.get_document().get_data());
    const double ms = Milliseconds(Clock::now() - start);
    c.estimate = mset.get_matches_estimated();
    c.top.assign(pmids.begin(), pmids.begin() + std::min<std::size_t>(3, pmids.size()));
    return ms;
}

// Similar articles of a record kept aside at build: its words (those of the title and of
// its major headings, less stop words and numbers, as ours chooses them), the rarest kept,
// ORed, the best six. ourRule: as ours keeps them (every word in at most a twentieth of
// the records, and at least the four rarest); else the four rarest of the title alone.
double Similar(const Xapian::Database& db, Tokenizer& tokenizer, const std::string& key,
               bool ourRule, std::size_t& words, std::size_t& found) {
    const auto start = Clock::now();
    const std::string stored = db.get_metadata(key);
    const std::size_t eol = stored.find('\n');
    const Xapian::docid id = static_cast<Xapian::docid>(std::atol(stored.c_str()));
    const std::string pmid = db.get_document(id).get_data();
    Article article = FromSimilarText(stored.substr(eol + 1));
    if (!ourRule) article.mesh.clear();
    const Search search = SimilarSearch(article);

    std::vector<std::pair<Xapian::doccount, std::vector<std::string>>> candidates;
    if (!search.tree.empty()) {
        for (const SearchNode& leaf : search.tree[0].operands) {
            std::vector<std::string> terms = tokenizer.Terms(leaf.text);
            Xapian::doccount df = 0;
            for (const std::string& term : terms)
                df = std::max(df, db.get_termfreq(term));
            if (df > 0) candidates.emplace_back(df, std::move(terms));
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    const Xapian::doccount common = std::max<Xapian::doccount>(db.get_doccount() / 20, 1);
    std::vector<Xapian::Query> any;
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        const bool keep = k < 4 || (ourRule && candidates[k].first <= common);
        if (!keep) continue;
        const auto& terms = candidates[k].second;
        any.emplace_back(Xapian::Query::OP_AND, terms.begin(), terms.end());
    }
    words += any.size();
    Xapian::Enquire enquire(db);
    enquire.set_weighting_scheme(OurBm25());
    enquire.set_query(Xapian::Query(Xapian::Query::OP_OR, any.begin(), any.end()));
    // One more than the five shown: the record itself is among the best.
    const Xapian::MSet mset = enquire.get_mset(0, 6);
    std::size_t others = 0;
    for (auto it = mset.begin(); it != mset.end(); ++it)
        if (it.get_document().get_data() != pmid) ++others;
    found += std::min<std::size_t>(others, 5);
    return Milliseconds(Clock::now() - start);
}

int SearchAll(const std::string& path, int rounds) {
    const std::vector<std::string> queries = {
        "patients",                                   // most records of the sample
        "heart failure",                              // two words, some tens of thousands
        "tocilizumab",                                // tens of thousands
        "patients AND metformin",                     // common AND less common
        "calciphylaxis",                              // about a thousand
        "patients OR treatment OR outcome OR events", // four words, each in most records
    };
    std::vector<Case> cases;
    for (const std::string& q : queries)
        for (const bool counted : {false, true})
            cases.push_back({q, counted, {}, {}, 0, {}});

    Tokenizer tokenizer;
    auto db = std::make_unique<Xapian::Database>(path);
    std::printf("== %s: %u records, average length %.1f (wdf), %d rounds\n", path.c_str(),
                db->get_doccount(), db->get_avlength(), rounds);
    InRounds(
        cases.size(), rounds,
        [&](std::size_t i, bool fromDisk) {
            Case& c = cases[i];
            if (fromDisk) {
                db.reset();
                EvictFromPageCache(path);
                db = std::make_unique<Xapian::Database>(path);
            }
            (fromDisk ? c.diskCold : c.queryCold).push_back(Request(*db, tokenizer, c));
        },
        [&](std::size_t i) { Request(*db, tokenizer, cases[i]); });

    std::printf("  %-42s %-8s %8s %8s %19s %19s  %s\n", "query", "checked", "estimate", "exact",
                "query-cold p50/max", "disk-cold p50/max", "top 3 PMIDs");
    for (const Case& c : cases) {
        // The exact number of matches, untimed, to set beside our count.
        Xapian::Enquire enquire(*db);
        enquire.set_query(ToXapian(tokenizer, c.query));
        const Xapian::doccount exact =
            enquire.get_mset(0, 0, db->get_doccount()).get_matches_estimated();
        std::string top;
        for (const std::string& pmid : c.top)
            top += (top.empty() ? "" : " ") + pmid;
        std::printf("  %-42s %-8s %8u %8u %9.2f %9.2f %9.2f %9.2f  %s\n", c.query.c_str(),
                    c.counted ? "10000" : "0", c.estimate, exact, Median(c.queryCold),
                    Slowest(c.queryCold), Median(c.diskCold), Slowest(c.diskCold), top.c_str());
    }

    const int kept = std::atoi(db->get_metadata("similar.count").c_str());
    for (const bool ourRule : {true, false}) {
        std::vector<double> first;
        std::size_t words = 0, found = 0;
        // Every other record kept aside, a set for each rule.
        for (int k = ourRule ? 0 : 1; k < kept; k += 2)
            first.push_back(Similar(*db, tokenizer, "similar" + std::to_string(k), ourRule,
                                    words, found));
        const double n = first.empty() ? 1.0 : static_cast<double>(first.size());
        std::printf("  similar articles, %s (%zu records, %.1f words, %.1f similar each): "
                    "first p50 %.2f max %.2f ms\n",
                    ourRule ? "words as ours picks them" : "the 4 rarest title words",
                    first.size(), words / n, found / n, Median(first), Slowest(first));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    try {
        if (command == "build" && argc == 4) return Build(argv[2], std::atoi(argv[3]));
        if (command == "search" && (argc == 3 || argc == 4))
            return SearchAll(argv[2], argc == 4 ? std::max(1, std::atoi(argv[3])) : 9);
    } catch (const Xapian::Error& e) {
        std::fprintf(stderr, "tamix_bench_xapian: %s\n", e.get_description().c_str());
        return 1;
    }
    std::fprintf(stderr, "usage: tamix_bench_xapian build DB COUNT\n"
                         "       tamix_bench_xapian search DB [ROUNDS]\n");
    return 2;
}
