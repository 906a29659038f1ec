#include "server/index/ranking.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <queue>
#include <thread>
#include <tuple>
#include <unordered_map>

namespace tamix::server {

const char* const kRankingSchema = R"sql(
CREATE TABLE rank_term(term TEXT PRIMARY KEY, id INTEGER NOT NULL, records INTEGER NOT NULL)
    WITHOUT ROWID;
CREATE TABLE rank_segment(id INTEGER PRIMARY KEY, records INTEGER NOT NULL,
    dead INTEGER NOT NULL);
-- A chunk's row is keyed by segment and chunk (KeysRow): in a table with rowids the tree's
-- inner pages hold rowids alone, where WITHOUT ROWID they held whole rows of some KB, four a page,
-- and a look-up of one chunk read five pages from disk.
CREATE TABLE rank_keys(id INTEGER PRIMARY KEY, first_key INTEGER NOT NULL, keys BLOB NOT NULL);
-- A span of dates reads only the chunks' first keys: without this, their rows' keys too.
CREATE INDEX rank_keys_start ON rank_keys(id, first_key);
CREATE TABLE rank_list(id INTEGER PRIMARY KEY, data BLOB NOT NULL);
CREATE TABLE rank_dead(segment INTEGER NOT NULL, doc INTEGER NOT NULL, PRIMARY KEY(segment, doc))
    WITHOUT ROWID;
INSERT INTO meta VALUES('rank_next_term', 1);
)sql";

namespace {

// Keys a row of rank_keys holds.
constexpr std::uint32_t kKeysPerChunk = 1024;
// A list whose data is this small goes in the row of its header.
constexpr std::size_t kInlineData = 4096;

// A list's rows are keyed by segment, term and part in one rowid: in a table with rowids a
// row of some KB stays in its page, where WITHOUT ROWID tables spill all but a quarter of a
// page to overflow pages and left rank_list half empty.
constexpr int kPartBits = 16, kTermBits = 28;
std::int64_t ListRow(std::int64_t segment, std::int64_t term, std::int64_t part) {
    return (segment << (kTermBits + kPartBits)) | (term << kPartBits) | part;
}
std::int64_t TermOfRow(std::int64_t row) {
    return (row >> kPartBits) & ((std::int64_t{1} << kTermBits) - 1);
}
std::int64_t PartOfRow(std::int64_t row) {
    return row & ((std::int64_t{1} << kPartBits) - 1);
}
// A long list's split by impact (postings.h) follows it among the term's rows: its rest at
// this part, then its postings of high impact as a list of their own.
constexpr std::int64_t kRestPart = std::int64_t{1} << (kPartBits - 1);
constexpr std::int64_t kHighParts = kRestPart + 1;

// A chunk of a segment's keys is keyed by both in one rowid, as a list's rows are.
constexpr int kChunkBits = 32;
std::int64_t KeysRow(std::int64_t segment, std::int64_t chunk) {
    return (segment << kChunkBits) | chunk;
}

std::string EncodeKeys(const std::int64_t* keys, std::size_t count) {
    std::string out;
    for (std::size_t i = 1; i < count; ++i)
        PutVarint(out, static_cast<std::uint64_t>(keys[i] - keys[i - 1]));
    return out;
}

} // namespace

bool DecodeKeyChunk(std::int64_t first, std::string_view bytes, std::vector<std::int64_t>& keys) {
    keys.assign(1, first);
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::uint64_t gap = 0;
        if (!GetVarint(bytes, pos, gap) || gap == 0 || keys.size() == kKeysPerChunk ||
            gap > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
            keys.back() > std::numeric_limits<std::int64_t>::max() - static_cast<std::int64_t>(gap))
            return false;
        keys.push_back(keys.back() + static_cast<std::int64_t>(gap));
    }
    return true;
}

namespace {

// A segment's keys, as the writer (to find a record it deletes) and the readers read them:
// the chunks from one row (KeysRow) up to another, and one chunk.
const char* const kChunkStartsSql =
    "SELECT id & 0xFFFFFFFF, first_key FROM rank_keys INDEXED BY rank_keys_start "
    "WHERE id >= ?1 AND id < ?2 ORDER BY id";
const char* const kKeyChunkSql = "SELECT first_key, keys FROM rank_keys WHERE id = ?1";

// The first key of each chunk of the segment, in chunk order.
std::vector<std::int64_t> ChunkStarts(Statement& chunkStarts, std::int64_t segment) {
    std::vector<std::int64_t> starts;
    chunkStarts.Bind(1, KeysRow(segment, 0)).Bind(2, KeysRow(segment + 1, 0));
    while (chunkStarts.Step())
        starts.push_back(chunkStarts.Int(1));
    chunkStarts.Reset();
    return starts;
}

// One chunk's keys; false when the chunk is missing or does not read back.
bool ReadKeyChunk(Statement& keyChunk, std::int64_t segment, std::int64_t chunk,
                  std::vector<std::int64_t>& keys) {
    keyChunk.Bind(1, KeysRow(segment, chunk));
    const bool read = keyChunk.Step() && DecodeKeyChunk(keyChunk.Int(0), keyChunk.Blob(1), keys);
    keyChunk.Reset();
    return read;
}

[[noreturn]] void Damaged(const std::string& what) {
    throw DamagedPostings("the ranking index is damaged: " + what);
}

// A stored list: part 0 is the header's length, the header, and the data when small.
struct StoredList {
    ListHeader header;
    std::string inlineData;
    bool inlined = false;
};

void ParseStored(std::string_view part0, StoredList& list) {
    std::size_t pos = 0;
    std::uint64_t headerSize = 0;
    if (!GetVarint(part0, pos, headerSize) || headerSize > part0.size() - pos ||
        !ParseHeader(part0.substr(pos, headerSize), list.header))
        Damaged("a list header does not read back");
    const std::string_view rest = part0.substr(pos + headerSize);
    list.inlined = !rest.empty() || list.header.dataSize == 0;
    if (list.inlined && rest.size() != list.header.dataSize) Damaged("a list's data is cut short");
    list.inlineData.assign(rest);
}

int LengthClassOfKey(std::int64_t key) {
    return static_cast<int>(-(key % kLengthClasses));
}

// The average length of records at those places (PlaceOfKey), as their classes tell it.
double AverageLength(const std::vector<std::int64_t>& places) {
    double sum = 0;
    for (const std::int64_t place : places)
        sum += ClassLength(LengthClassOfKey(KeyOfPlace(place)));
    return places.empty() ? 1 : sum / static_cast<double>(places.size());
}

// Runs of postings in doc order, each from runs[i] to runs[i + 1], into one run in doc
// order: runs merged two by two, each posting moved once a round. One run merged into the
// rest after another moved the postings once an input: a list of all records, merged from
// twelve segments, was copied some six times over.
void MergeRuns(std::vector<Posting>& postings, std::vector<std::size_t>& runs,
               std::vector<Posting>& spare) {
    const auto byDoc = [](const Posting& x, const Posting& y) { return x.doc < y.doc; };
    while (runs.size() > 2) {
        spare.resize(postings.size());
        std::size_t kept = 1;
        for (std::size_t r = 0; r + 1 < runs.size(); r += 2) {
            const std::size_t end = runs[std::min(r + 2, runs.size() - 1)];
            std::merge(postings.begin() + runs[r], postings.begin() + runs[r + 1],
                       postings.begin() + runs[r + 1], postings.begin() + end,
                       spare.begin() + runs[r], byDoc);
            runs[kept++] = end;
        }
        runs.resize(kept);
        postings.swap(spare);
    }
}

// A merge's rows, from the thread that makes them to the writer's, up to a budget of
// bytes held; then the maker waits.
class RowQueue {
public:
    explicit RowQueue(std::size_t budget) : budget_(budget) {}

    struct Row {
        bool keys;
        std::int64_t id, chunk, first; // a list's row; or a key row's segment, chunk, first key
        std::string data;
    };

    void List(std::int64_t row, std::string_view data) {
        Put({false, row, 0, 0, std::string(data)});
    }
    void Keys(std::int64_t segment, std::int64_t chunk, std::int64_t first, std::string_view keys) {
        Put({true, segment, chunk, first, std::string(keys)});
    }
    // No more rows: the merge's segment and records, or its failure.
    void End(std::int64_t segment, std::int64_t records, std::exception_ptr failure) {
        const std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        segment_ = segment;
        records_ = records;
        failure_ = std::move(failure);
        changed_.notify_all();
    }
    // The next rows, false once all were taken (rethrowing the maker's failure).
    bool Take(std::deque<Row>& rows) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return !rows_.empty() || ended_; });
        if (rows_.empty()) {
            if (failure_) std::rethrow_exception(failure_);
            return false;
        }
        rows.swap(rows_);
        rows_.clear();
        bytes_ = 0;
        changed_.notify_all();
        return true;
    }
    // The taker gave up: the maker stops at its next row.
    void Abandon() {
        const std::lock_guard<std::mutex> lock(mutex_);
        abandoned_ = true;
        changed_.notify_all();
    }
    std::int64_t Segment() const { return segment_; }
    std::int64_t Records() const { return records_; }

    struct Abandoned {};

private:
    void Put(Row row) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return bytes_ < budget_ || abandoned_; });
        if (abandoned_) throw Abandoned{};
        bytes_ += row.data.size() + sizeof(Row);
        rows_.push_back(std::move(row));
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Row> rows_;
    const std::size_t budget_;
    std::size_t bytes_ = 0;
    bool ended_ = false, abandoned_ = false;
    std::int64_t segment_ = 0, records_ = 0;
    std::exception_ptr failure_;
};

} // namespace

// ---- writing ----

struct RankWriter::Impl {
    explicit Impl(Database& database) : db(database) {
        findTerm = db.Prepare("SELECT id FROM rank_term WHERE term = ?1");
        addTerm = db.Prepare("INSERT INTO rank_term VALUES(?1, ?2, ?3)");
        countTerm = db.Prepare("UPDATE rank_term SET records = records + ?2 WHERE term = ?1");
        nextTerm = db.Prepare("SELECT value FROM meta WHERE key = 'rank_next_term'");
        setNextTerm = db.Prepare("UPDATE meta SET value = ?1 WHERE key = 'rank_next_term'");
        nextSegment = db.Prepare("SELECT coalesce(max(id), 0) + 1 FROM rank_segment");
        addSegment = db.Prepare("INSERT INTO rank_segment VALUES(?1, ?2, 0)");
        addKeys = db.Prepare("INSERT INTO rank_keys VALUES(?1, ?2, ?3)");
        addList = db.Prepare("INSERT INTO rank_list VALUES(?1, ?2)");
        segments = db.Prepare("SELECT id, records, dead FROM rank_segment ORDER BY records");
        chunkStarts = db.Prepare(kChunkStartsSql);
        chunk = db.Prepare(kKeyChunkSql);
        allKeys = db.Prepare(
            "SELECT first_key, keys FROM rank_keys WHERE id >= ?1 AND id < ?2 ORDER BY id");
        isDead = db.Prepare("SELECT 1 FROM rank_dead WHERE segment = ?1 AND doc = ?2");
        addDead = db.Prepare("INSERT INTO rank_dead VALUES(?1, ?2)");
        countDead = db.Prepare("UPDATE rank_segment SET dead = dead + 1 WHERE id = ?1");
        deadOf = db.Prepare("SELECT doc FROM rank_dead WHERE segment = ?1 ORDER BY doc");
    }

    struct Segment {
        std::int64_t id, records, dead;
        std::vector<std::int64_t> chunkStarts; // loaded when a deletion looks here
        bool loaded = false;
    };

    std::int64_t TermId(std::string_view term, std::int64_t records) {
        findTerm.BindStatic(1, term);
        if (findTerm.Step()) {
            const std::int64_t id = findTerm.Int(0);
            findTerm.Reset();
            if (records != 0) countTerm.BindStatic(1, term).Bind(2, records).Run();
            return id;
        }
        findTerm.Reset();
        if (next == 0) {
            next = nextTerm.Step() ? nextTerm.Int(0) : 1;
            nextTerm.Reset();
        }
        if (next >= (std::int64_t{1} << kTermBits))
            throw std::runtime_error("the ranking index holds as many terms as it can");
        const std::int64_t id = next++;
        addTerm.BindStatic(1, term).Bind(2, id).Bind(3, records).Run();
        return id;
    }

    std::int64_t NewSegment() {
        const std::int64_t id = nextSegment.Step() ? nextSegment.Int(0) : 1;
        nextSegment.Reset();
        return id;
    }

    void WriteKeys(std::int64_t segment, const std::vector<std::int64_t>& keys) {
        for (std::size_t first = 0, c = 0; first < keys.size(); first += kKeysPerChunk, ++c) {
            const std::size_t count = std::min<std::size_t>(kKeysPerChunk, keys.size() - first);
            AddKeys(segment, static_cast<std::int64_t>(c), keys[first],
                    EncodeKeys(&keys[first], count));
        }
    }

    // A row of keys: into its table, or to out for the writer (as AddList a list's).
    void AddKeys(std::int64_t segment, std::int64_t chunk, std::int64_t first,
                 std::string_view bytes) {
        if (out)
            out->Keys(segment, chunk, first, bytes);
        else
            addKeys.Bind(1, KeysRow(segment, chunk)).Bind(2, first).BindBlob(3, bytes).Run();
    }

    // The list, and its split by impact where long, of records of that average length.
    void WriteList(std::int64_t segment, std::int64_t term, const Posting* postings,
                   std::size_t count, double averageLength) {
        WriteRows(segment, term, 0, postings, count);
        if (count < splitFrom) return;
        SplitByImpact(postings, count, averageLength, high, rest);
        AddList(ListRow(segment, term, kRestPart), EncodeRest(rest));
        WriteRows(segment, term, kHighParts, high.data(), high.size());
    }

    void AddList(std::int64_t row, std::string_view data) {
        if (out)
            out->List(row, data);
        else
            addList.Bind(1, row).BindBlob(2, data).Run();
    }

    // A list as rows from first on: its header (with its data when small), then its parts.
    void WriteRows(std::int64_t segment, std::int64_t term, std::int64_t first,
                   const Posting* postings, std::size_t count) {
        EncodeList(postings, count, header, data);
        std::string part0;
        PutVarint(part0, header.size());
        part0 += header;
        if (data.size() <= kInlineData) {
            part0 += data;
            AddList(ListRow(segment, term, first), part0);
            return;
        }
        AddList(ListRow(segment, term, first), part0);
        ListHeader parsed;
        if (!ParseHeader(header, parsed) || parsed.Parts() >= kRestPart - 1)
            throw std::logic_error("a list does not fit the ranking index's rows");
        for (std::uint32_t p = 0; p < parsed.Parts(); ++p) {
            const std::string_view bytes =
                std::string_view(data).substr(parsed.PartOffset(p), parsed.PartSize(p));
            AddList(ListRow(segment, term, first + static_cast<std::int64_t>(p) + 1), bytes);
        }
    }

    std::vector<Segment> LoadSegments() {
        std::vector<Segment> list;
        while (segments.Step())
            list.push_back({segments.Int(0), segments.Int(1), segments.Int(2), {}, false});
        segments.Reset();
        return list;
    }

    std::vector<std::int64_t> AllKeys(std::int64_t segment) {
        std::vector<std::int64_t> keys, chunkKeys;
        allKeys.Bind(1, KeysRow(segment, 0)).Bind(2, KeysRow(segment + 1, 0));
        while (allKeys.Step()) {
            if (!DecodeKeyChunk(allKeys.Int(0), allKeys.Blob(1), chunkKeys)) {
                allKeys.Reset();
                Damaged("a segment's keys do not read back");
            }
            keys.insert(keys.end(), chunkKeys.begin(), chunkKeys.end());
        }
        allKeys.Reset();
        return keys;
    }

    // The live record of that key: its segment and doc; false when none holds it.
    bool Locate(std::int64_t key, std::int64_t& segment, std::uint32_t& doc) {
        key = PlaceOfKey(key); // what the segments keep
        if (!cacheValid) {
            cache = LoadSegments();
            cacheValid = true;
        }
        std::vector<std::int64_t> keys;
        for (Segment& s : cache) {
            if (!s.loaded) {
                s.chunkStarts = ChunkStarts(chunkStarts, s.id);
                s.loaded = true;
            }
            const auto after = std::upper_bound(s.chunkStarts.begin(), s.chunkStarts.end(), key);
            if (after == s.chunkStarts.begin()) continue;
            const std::int64_t c = (after - s.chunkStarts.begin()) - 1;
            if (!ReadKeyChunk(chunk, s.id, c, keys)) continue;
            const auto at = std::lower_bound(keys.begin(), keys.end(), key);
            if (at == keys.end() || *at != key) continue;
            const auto d = static_cast<std::uint32_t>(c * kKeysPerChunk + (at - keys.begin()));
            isDead.Bind(1, s.id).Bind(2, static_cast<std::int64_t>(d));
            const bool dead = isDead.Step();
            isDead.Reset();
            if (dead) continue;
            segment = s.id;
            doc = d;
            return true;
        }
        return false;
    }

    // Into fresh pages, the inputs dropped after: see Merge.
    void Merge(const std::vector<Segment>& inputs, bool fresh = false) {
        const auto [segment, records] = MergeLists(inputs, fresh);
        DropInputs(inputs, fresh, segment, records);
    }
    // The merged segment's keys and lists (to out, when set): its number and records.
    std::pair<std::int64_t, std::int64_t> MergeLists(const std::vector<Segment>& inputs,
                                                     bool fresh);
    // The merged segment counted, its inputs dropped.
    void DropInputs(const std::vector<Segment>& inputs, bool fresh, std::int64_t segment,
                    std::int64_t records);

    // A run's postings on their way, kept from run to run: allocated afresh, their pages
    // were faulted in and zeroed again every run.
    struct Term {
        std::string_view text;
        std::uint64_t hash;
        std::uint32_t postings = 0, records = 0, start = 0;
    };
    struct Found {
        std::uint32_t term, doc, f2;
        std::uint8_t lengthClass;
    };
    std::vector<Term> terms;
    std::vector<int> slots; // an open-addressed table of terms, by their texts' hash

    // The run's number of a term's text, added when new.
    std::uint32_t Intern(std::string_view text) {
        std::uint64_t hash = 14695981039346656037ull; // FNV-1a
        for (const char c : text)
            hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        if (slots.size() < 2 * (terms.size() + 1)) {
            slots.assign(slots.size() * 2, -1);
            for (std::size_t i = 0; i < terms.size(); ++i)
                slots[FreeSlot(terms[i].hash)] = static_cast<int>(i);
        }
        std::size_t slot = hash & (slots.size() - 1);
        while (slots[slot] >= 0 &&
               (terms[slots[slot]].hash != hash || terms[slots[slot]].text != text))
            slot = (slot + 1) & (slots.size() - 1);
        if (slots[slot] < 0) {
            slots[slot] = static_cast<int>(terms.size());
            terms.push_back({text, hash});
        }
        return static_cast<std::uint32_t>(slots[slot]);
    }
    std::size_t FreeSlot(std::uint64_t hash) const {
        std::size_t slot = hash & (slots.size() - 1);
        while (slots[slot] >= 0)
            slot = (slot + 1) & (slots.size() - 1);
        return slot;
    }
    std::vector<Found> found;
    std::vector<Posting> postings;
    std::vector<std::uint32_t> placed;
    std::vector<std::int64_t> keys; // places, in doc order
    std::vector<std::pair<std::int64_t, std::uint32_t>> order;

    Database& db;
    Statement findTerm, addTerm, countTerm, nextTerm, setNextTerm, nextSegment, addSegment,
        addKeys, addList, segments, chunkStarts, chunk, allKeys, isDead, addDead, countDead,
        deadOf;
    std::int64_t next = 0;
    std::unordered_map<std::string, std::int64_t> removedCounts;
    std::vector<Segment> cache;
    bool cacheValid = false;
    std::string header, data;
    std::vector<Posting> high;
    ListRest rest;
    std::size_t splitFrom = kImpactSplitPostings;
    // Enough that neither thread waits on the other for long.
    std::size_t heldRows = std::size_t{64} << 20;
    RowQueue* out = nullptr; // where a merge on a thread of its own puts its rows
};

RankWriter::RankWriter(Database& db) : impl_(std::make_unique<Impl>(db)) {
}

RankWriter::~RankWriter() = default;

void RankWriter::AddSegment(const std::vector<Record>& records) {
    if (records.empty()) return;
    Impl& m = *impl_;
    // Every posting once, counted by term, then placed term by term in doc order: one
    // look-up of a term a posting, and no list that grows.
    auto& terms = m.terms;
    auto& found = m.found;
    auto& keys = m.keys;
    terms.clear();
    found.clear();
    keys.clear();
    m.slots.assign(4096, -1);
    // Records in the engine's order: by length class, then by key.
    auto& order = m.order;
    order.clear();
    for (std::uint32_t i = 0; i < records.size(); ++i)
        order.emplace_back(PlaceOfKey(records[i].key), i);
    std::sort(order.begin(), order.end());
    for (std::uint32_t doc = 0; doc < records.size(); ++doc) {
        const Record& r = records[order[doc].second];
        keys.push_back(order[doc].first);
        const auto lengthClass = static_cast<std::uint8_t>(LengthClassOfKey(r.key));
        const bool whole =
            ForEachEncodedTerm(r.terms, [&](std::string_view text, std::uint32_t f2) {
                const std::uint32_t term = m.Intern(text);
                Impl::Term& t = terms[term];
                ++t.postings;
                if (f2 > 0) ++t.records;
                found.push_back({term, doc, f2, lengthClass});
            });
        if (!whole) throw std::logic_error("a prepared record's terms do not read back");
    }
    std::uint32_t start = 0;
    for (Impl::Term& t : terms) {
        t.start = start;
        start += t.postings;
    }
    auto& postings = m.postings;
    auto& placed = m.placed;
    postings.resize(found.size());
    placed.resize(terms.size());
    for (std::size_t i = 0; i < terms.size(); ++i)
        placed[i] = terms[i].start;
    for (const Impl::Found& f : found)
        postings[placed[f.term]++] = {f.doc, f.f2, f.lengthClass};

    std::vector<std::pair<std::int64_t, const Impl::Term*>> ids;
    ids.reserve(terms.size());
    for (const Impl::Term& t : terms)
        ids.emplace_back(m.TermId(t.text, t.records), &t);
    if (m.next != 0) m.setNextTerm.Bind(1, m.next).Run();
    std::sort(ids.begin(), ids.end(),
              [](const auto& x, const auto& y) { return x.first < y.first; });
    const std::int64_t segment = m.NewSegment();
    m.WriteKeys(segment, keys);
    const double average = AverageLength(keys);
    for (const auto& [id, t] : ids)
        m.WriteList(segment, id, &postings[t->start], t->postings, average);
    m.addSegment.Bind(1, segment).Bind(2, static_cast<std::int64_t>(records.size())).Run();
    m.cacheValid = false;
    terms.clear(); // its texts point into the records
}

void RankWriter::Remove(std::int64_t key, const std::vector<TermFrequency>& terms) {
    Impl& m = *impl_;
    for (const TermFrequency& t : terms)
        if (t.f2 > 0) --m.removedCounts[t.term];
    std::int64_t segment = 0;
    std::uint32_t doc = 0;
    if (!m.Locate(key, segment, doc)) return;
    m.addDead.Bind(1, segment).Bind(2, static_cast<std::int64_t>(doc)).Run();
    m.countDead.Bind(1, segment).Run();
    for (Impl::Segment& s : m.cache)
        if (s.id == segment) ++s.dead;
}

void RankWriter::Flush() {
    Impl& m = *impl_;
    for (const auto& [term, change] : m.removedCounts)
        if (change != 0) m.countTerm.Bind(1, term).Bind(2, change).Run();
    m.removedCounts.clear();
    std::vector<Impl::Segment> all = m.LoadSegments(); // smallest first
    if (all.size() > kMaxSegments) {
        // The smallest together, as LSM trees do: a record is merged again each time its
        // segment grows some times over. A next segment no larger than those together joins
        // them: merged later, it would rewrite this merge's records again soon. Eight alone
        // rewrote a record's lists some 9 times at 37 million records in runs of 50,000;
        // this takes 2.7 (a simulation of both rules).
        constexpr std::size_t kMergeFactor = 8;
        std::size_t take = kMergeFactor;
        std::int64_t records = 0;
        for (std::size_t i = 0; i < take; ++i)
            records += all[i].records;
        while (take < all.size() && all[take].records <= records)
            records += all[take++].records;
        all.resize(take);
        m.Merge(all);
    }
}

void RankWriter::SplitListsFrom(std::size_t postings) {
    impl_->splitFrom = postings;
}

void RankWriter::HoldMergedRows(std::size_t bytes) {
    impl_->heldRows = bytes;
}

void RankWriter::Forget() {
    impl_->removedCounts.clear();
    impl_->cacheValid = false;
    impl_->next = 0;
}

class RankWriter::MergeAhead {
public:
    MergeAhead(const std::string& path, std::size_t splitFrom, std::size_t heldRows)
        : rows(heldRows) {
        thread_ = std::thread([this, path, splitFrom] {
            std::int64_t segment = 0, records = 0;
            std::exception_ptr failure;
            try {
                Database db(path, SQLITE_OPEN_READWRITE);
                const ReadTransaction snapshot(db);
                Impl reading(db);
                reading.splitFrom = splitFrom;
                std::vector<Impl::Segment> all = reading.LoadSegments();
                if (all.size() > 1 || (all.size() == 1 && all[0].dead > 0)) {
                    reading.out = &rows;
                    std::tie(segment, records) = reading.MergeLists(all, true);
                    inputs = std::move(all);
                }
            } catch (const RowQueue::Abandoned&) {
            } catch (...) {
                failure = std::current_exception();
            }
            rows.End(segment, records, failure); // after it, inputs are the taker's
        });
    }
    ~MergeAhead() {
        rows.Abandon();
        thread_.join();
    }

    RowQueue rows;
    std::vector<Impl::Segment> inputs; // what the merge replaces

private:
    std::thread thread_;
};

void RankWriter::EndMerge::operator()(MergeAhead* merge) const {
    delete merge;
}

std::unique_ptr<RankWriter::MergeAhead, RankWriter::EndMerge>
RankWriter::StartMergeAll(const std::string& path) {
    return std::unique_ptr<MergeAhead, EndMerge>(
        new MergeAhead(path, impl_->splitFrom, impl_->heldRows));
}

void RankWriter::FinishMergeAll(MergeAhead& merge) {
    Impl& m = *impl_;
    std::deque<RowQueue::Row> rows;
    while (merge.rows.Take(rows))
        for (const RowQueue::Row& row : rows) {
            if (row.keys)
                m.AddKeys(row.id, row.chunk, row.first, row.data);
            else
                m.AddList(row.id, row.data);
        }
    if (!merge.inputs.empty())
        m.DropInputs(merge.inputs, true, merge.rows.Segment(), merge.rows.Records());
    m.cacheValid = false;
}

std::pair<std::int64_t, std::int64_t>
RankWriter::Impl::MergeLists(const std::vector<Segment>& inputs, bool fresh) {
    cacheValid = false;
    // The merged order of the live records, and where each input's records go.
    std::vector<std::vector<std::int64_t>> keys(inputs.size());
    std::vector<std::vector<std::uint32_t>> to(inputs.size());
    constexpr std::uint32_t kGone = 0xFFFFFFFFu;
    using Head = std::pair<std::int64_t, std::size_t>; // key, input
    std::priority_queue<Head, std::vector<Head>, std::greater<Head>> heads;
    std::vector<std::size_t> at(inputs.size(), 0);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        keys[i] = AllKeys(inputs[i].id);
        if (static_cast<std::int64_t>(keys[i].size()) != inputs[i].records)
            Damaged("a segment's keys do not match its records");
        to[i].assign(keys[i].size(), 0);
        deadOf.Bind(1, inputs[i].id);
        while (deadOf.Step()) {
            const std::int64_t doc = deadOf.Int(0);
            if (doc >= 0 && doc < static_cast<std::int64_t>(keys[i].size())) to[i][doc] = kGone;
        }
        deadOf.Reset();
        if (!keys[i].empty()) heads.emplace(keys[i][0], i);
    }
    std::vector<std::int64_t> merged;
    while (!heads.empty()) {
        const auto [key, i] = heads.top();
        heads.pop();
        if (to[i][at[i]] != kGone) {
            to[i][at[i]] = static_cast<std::uint32_t>(merged.size());
            merged.push_back(key);
        }
        if (++at[i] < keys[i].size()) heads.emplace(keys[i][at[i]], i);
    }
    keys.clear();
    const std::int64_t segment = NewSegment();
    WriteKeys(segment, merged);
    const double average = AverageLength(merged);
    const bool any = !merged.empty();

    // Each input's lists in term order, taken together term by term.
    std::vector<std::unique_ptr<Statement>> readers;
    std::vector<bool> more(inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        readers.push_back(std::make_unique<Statement>(db.Prepare(
            "SELECT id, data FROM rank_list WHERE id >= ?1 AND id < ?2 ORDER BY id")));
        readers[i]->Bind(1, ListRow(inputs[i].id, 0, 0)).Bind(2, ListRow(inputs[i].id + 1, 0, 0));
        more[i] = readers[i]->Step();
    }
    const auto termOf = [&](std::size_t i) { return TermOfRow(readers[i]->Int(0)); };
    const auto partOf = [&](std::size_t i) { return PartOfRow(readers[i]->Int(0)); };
    std::vector<Posting> postings, spare;
    std::vector<std::size_t> runs; // where each input's postings of the term start and end
    BlockColumns block;
    // An input's list of a term goes once read, so that the next terms' merged lists take
    // its pages: written beside all of the inputs, the new segment grew the file by the
    // ranking's size. The rows go behind the reader, which SQLite allows; every row is
    // read, so none is left. But pages so taken come last freed first, and a list read
    // backwards in runs of a few pages is read a page at a time from disk: the merge of
    // everything, whose lists searches read, writes them in fresh pages, in order, and
    // drops its inputs after.
    Statement dropTerm = db.Prepare("DELETE FROM rank_list WHERE id >= ?1 AND id < ?2");
    while (true) {
        std::int64_t term = std::numeric_limits<std::int64_t>::max();
        for (std::size_t i = 0; i < inputs.size(); ++i)
            if (more[i]) term = std::min(term, termOf(i));
        if (term == std::numeric_limits<std::int64_t>::max()) break;
        postings.clear();
        runs.assign(1, 0);
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            if (!more[i] || termOf(i) != term) continue;
            Statement& r = *readers[i];
            if (partOf(i) != 0) Damaged("a list has data but no header");
            StoredList list;
            ParseStored(r.Blob(1), list);
            std::string data = list.inlineData;
            for (std::uint32_t p = 1; p <= (list.inlined ? 0 : list.header.Parts()); ++p) {
                if (!(more[i] = r.Step()) || termOf(i) != term || partOf(i) != p)
                    Damaged("a list's data is missing");
                data += r.Blob(1);
            }
            if (data.size() != list.header.dataSize) Damaged("a list's data is cut short");
            // Its split, if any, is made anew from the merged list.
            while ((more[i] = r.Step()) && termOf(i) == term && partOf(i) >= kRestPart) {
            }
            if (!fresh)
                dropTerm.Bind(1, ListRow(inputs[i].id, term, 0))
                    .Bind(2, ListRow(inputs[i].id, term + 1, 0))
                    .Run();
            const auto& blocks = list.header.blocks;
            for (std::size_t b = 0; b < blocks.size(); ++b) {
                if (!DecodeBlock(std::string_view(data).substr(blocks[b].offset, blocks[b].size),
                                 blocks[b], b ? &blocks[b - 1] : nullptr, block))
                    Damaged("a block of postings does not read back");
                for (std::uint32_t j = 0; j < blocks[b].postings; ++j) {
                    if (block.doc[j] >= to[i].size()) Damaged("a posting names no record");
                    const std::uint32_t doc = to[i][block.doc[j]];
                    if (doc != kGone) postings.push_back({doc, block.f2[j], block.lengthClass[j]});
                }
            }
            runs.push_back(postings.size());
        }
        MergeRuns(postings, runs, spare);
        if (!postings.empty()) WriteList(segment, term, postings.data(), postings.size(), average);
    }
    readers.clear();
    return {segment, any ? static_cast<std::int64_t>(merged.size()) : 0};
}

void RankWriter::Impl::DropInputs(const std::vector<Segment>& inputs, bool fresh,
                                  std::int64_t segment, std::int64_t records) {
    cacheValid = false;
    if (records > 0) addSegment.Bind(1, segment).Bind(2, records).Run();
    Statement dropTerm = db.Prepare("DELETE FROM rank_list WHERE id >= ?1 AND id < ?2");
    Statement dropKeys = db.Prepare("DELETE FROM rank_keys WHERE id >= ?1 AND id < ?2");
    Statement dropDead = db.Prepare("DELETE FROM rank_dead WHERE segment = ?1");
    Statement dropSegment = db.Prepare("DELETE FROM rank_segment WHERE id = ?1");
    for (const Segment& s : inputs) {
        if (fresh) dropTerm.Bind(1, ListRow(s.id, 0, 0)).Bind(2, ListRow(s.id + 1, 0, 0)).Run();
        dropKeys.Bind(1, KeysRow(s.id, 0)).Bind(2, KeysRow(s.id + 1, 0)).Run();
        dropDead.Bind(1, s.id).Run();
        dropSegment.Bind(1, s.id).Run();
    }
}

// ---- reading ----

namespace {

// Lists read before, parsed, by segment, term and first row: a segment's lists never
// change, and a search of common words parsed megabytes of their headers each time. Kept
// while the file is as it was when they were read, up to a budget (then all dropped).
class ListCache {
public:
    using Key = std::tuple<std::int64_t, std::int64_t, std::int64_t>;
    std::shared_ptr<const StoredList> Find(const Key& key) const {
        const auto found = lists_.find(key);
        return found == lists_.end() ? nullptr : found->second;
    }
    void Put(const Key& key, std::shared_ptr<const StoredList> list) {
        const std::size_t size = sizeof(StoredList) + list->inlineData.size() +
                                 list->header.blocks.size() * sizeof(BlockInfo);
        if (size > kBudget) return;
        if (bytes_ + size > kBudget) Clear();
        // Two threads may have read the same list: it counts once.
        if (lists_.emplace(key, std::move(list)).second) bytes_ += size;
    }
    // Empties the cache where another connection committed since (the reader's own
    // writes nothing): a segment's number is taken again once every segment is gone.
    void Check(Statement& dataVersion) {
        const std::int64_t version = dataVersion.Step() ? dataVersion.Int(0) : 0;
        dataVersion.Reset();
        if (version == version_) return;
        Clear();
        version_ = version;
    }

private:
    void Clear() {
        lists_.clear();
        bytes_ = 0;
    }
    // Eight common words' headers at ten million records; a reader a request thread.
    static constexpr std::size_t kBudget = std::size_t{32} << 20;
    std::map<Key, std::shared_ptr<const StoredList>> lists_;
    std::size_t bytes_ = 0;
    std::int64_t version_ = -1;
};

// One segment as the engine reads it, row by row as it asks. Two of one segment may be
// read from two threads: they share the statements and the cache, one at a time
// (statements holds the lock), and keep the rest apart.
class StoredSegment : public SegmentSource {
public:
    StoredSegment(Statement& listParts, Statement& keysChunk, Statement& chunkStarts,
                  Statement& isDead, std::mutex& statements, ListCache& cache, std::int64_t id,
                  std::uint32_t records, bool anyDead, const std::vector<std::int64_t>& termIds)
        : listParts_(listParts), keysChunk_(keysChunk), chunkStarts_(chunkStarts), isDead_(isDead),
          statements_(statements), cache_(cache), id_(id), records_(records), anyDead_(anyDead),
          termIds_(termIds), lists_(termIds.size()), loaded_(termIds.size(), false) {}

    // A second source of the same segment: the lists the first has read are taken from it
    // (none is read again), the rest read on their own. Of high impact, its lists are the
    // postings of high impact of those split so, the whole lists of the others; of a first
    // of high impact, it is of high impact too.
    StoredSegment(const StoredSegment* first, bool highImpact)
        : StoredSegment(first->listParts_, first->keysChunk_, first->chunkStarts_, first->isDead_,
                        first->statements_, first->cache_, first->id_, first->records_,
                        first->anyDead_, first->termIds_) {
        first_ = first;
        highImpact_ = highImpact || first->highImpact_;
    }

    const ListHeader* List(int leaf) override {
        Leaf& l = lists_[leaf];
        if (!loaded_[leaf]) {
            loaded_[leaf] = true;
            if (first_ && first_->loaded_[leaf] && first_->highImpact_ == highImpact_) {
                const Leaf& theirs = first_->lists_[leaf];
                l.stored = theirs.stored;
                l.first = theirs.first;
                l.restLoaded = true;
                l.rest = theirs.rest;
                return l.stored ? &l.stored->header : nullptr;
            }
            Rest(leaf);
            if (first_ && first_->loaded_[leaf] && l.first == 0) {
                l.stored = first_->lists_[leaf].stored;
            } else if (termIds_[leaf] != 0) {
                const ListCache::Key key{id_, termIds_[leaf], l.first};
                {
                    const std::lock_guard<std::mutex> lock(statements_);
                    l.stored = cache_.Find(key);
                }
                std::string part0;
                if (!l.stored && Parts(termIds_[leaf], l.first, 0, 1, nullptr, part0) > 0) {
                    auto stored = std::make_shared<StoredList>();
                    ParseStored(part0, *stored);
                    if (!stored->header.blocks.empty() &&
                        stored->header.blocks.back().lastDoc >= records_)
                        Damaged("a list names records the segment does not hold");
                    l.stored = std::move(stored);
                    const std::lock_guard<std::mutex> lock(statements_);
                    cache_.Put(key, l.stored);
                }
            }
        }
        return l.stored ? &l.stored->header : nullptr;
    }

    // Read alone, before the list: a search tells from it whether the list is worth reading.
    const ListRest* Rest(int leaf) override {
        Leaf& l = lists_[leaf];
        if (!l.restLoaded) {
            l.restLoaded = true;
            std::string bytes;
            if (highImpact_ && termIds_[leaf] != 0 &&
                Parts(termIds_[leaf], kRestPart, 0, 1, nullptr, bytes) > 0) {
                if (!ParseRest(bytes, l.rest)) Damaged("a list's rest does not read back");
                l.first = kHighParts;
            }
        }
        return l.first == kHighParts ? &l.rest : nullptr;
    }

    std::string_view Block(int leaf, std::size_t block) override {
        Leaf& l = lists_[leaf];
        const ListHeader& h = l.stored->header;
        const BlockInfo& info = h.blocks[block];
        if (l.stored->inlined)
            return std::string_view(l.stored->inlineData).substr(info.offset, info.size);
        // A few parts of a list at a time: its cursor reads the list forward, and a buffer
        // used again spares an allocation and its pages' first touch each time. Parts read
        // in a row are read more at a time, up to kPartsAtOnce: a search that reads a list
        // through asks less often (and takes the lock less often, where two threads read;
        // from disk, a long run is read in a row, which the kernel reads ahead), one that
        // reads a part here and there reads no more than it needs.
        const auto part = static_cast<std::uint32_t>(block / kBlocksPerPart);
        if (l.part == kNoPart || part < l.part || part >= l.part + l.parts) {
            const bool next = l.part != kNoPart && part == l.part + l.parts;
            l.run = next ? std::min(2 * l.run, kPartsAtOnce) : 1;
            const std::uint32_t count = std::min(l.run, h.Parts() - part);
            l.part = kNoPart;
            if (Parts(termIds_[leaf], l.first, part + 1, count, &h, l.bytes) != count)
                Damaged("a part of a list is missing");
            l.part = part;
            l.parts = count;
        }
        return std::string_view(l.bytes).substr(info.offset - h.PartOffset(l.part), info.size);
    }

    std::int64_t Key(std::uint32_t doc) override { return KeyOfPlace(PlaceOf(doc)); }

    // Between the first places of its chunk and the next, when both are of one length
    // class: keys rise with places within a class.
    std::pair<std::int64_t, std::int64_t> KeySpan(std::uint32_t doc) override {
        const std::uint32_t c = doc / kKeysPerChunk;
        auto found = spans_.find(c);
        if (found == spans_.end()) found = spans_.emplace(c, ChunkSpan(c)).first;
        if (found->second.first < found->second.second) return found->second;
        return SegmentSource::KeySpan(doc);
    }

    // From the first place of each chunk alone: the first record at or past a place lies
    // in the chunk before the first that starts past it, or at the start of that one.
    std::pair<std::uint32_t, std::uint32_t> Around(std::int64_t place) override {
        const std::vector<std::int64_t>& starts = Starts();
        const auto after = std::upper_bound(starts.begin(), starts.end(), place);
        const auto chunk = static_cast<std::uint32_t>(after - starts.begin());
        if (chunk == 0) return {0, 0};
        return {(chunk - 1) * kKeysPerChunk, std::min(records_, chunk * kKeysPerChunk)};
    }

    std::uint32_t Records() override { return records_; }

    // Whether the leaf's whole list is parsed and kept already, or there is none to read.
    bool Kept(int leaf) {
        if (termIds_[leaf] == 0) return true;
        const std::lock_guard<std::mutex> lock(statements_);
        return cache_.Find({id_, termIds_[leaf], 0}) != nullptr;
    }

    bool Live(std::uint32_t doc) override {
        if (!anyDead_) return true;
        const std::lock_guard<std::mutex> lock(statements_);
        isDead_.Bind(1, id_).Bind(2, static_cast<std::int64_t>(doc));
        const bool dead = isDead_.Step();
        isDead_.Reset();
        return !dead;
    }

private:
    const std::vector<std::int64_t>& Starts() {
        if (starts_.empty()) {
            {
                const std::lock_guard<std::mutex> lock(statements_);
                starts_ = ChunkStarts(chunkStarts_, id_);
            }
            if (starts_.size() != (records_ + kKeysPerChunk - 1) / kKeysPerChunk)
                Damaged("a segment's keys are fewer than its records");
        }
        return starts_;
    }

    // The keys of chunk c's first record and the next chunk's, when both are of one class;
    // none (0, 0) else. Two entries of the starts' index, unless all of them are loaded.
    std::pair<std::int64_t, std::int64_t> ChunkSpan(std::uint32_t c) {
        std::int64_t places[2];
        int found = 0;
        if (!starts_.empty()) {
            for (; found < 2 && c + found < starts_.size(); ++found)
                places[found] = starts_[c + found];
        } else {
            const std::lock_guard<std::mutex> lock(statements_);
            chunkStarts_.Bind(1, KeysRow(id_, c)).Bind(2, KeysRow(id_ + 1, 0));
            while (found < 2 && chunkStarts_.Step() && chunkStarts_.Int(0) == c + found)
                places[found++] = chunkStarts_.Int(1);
            chunkStarts_.Reset();
        }
        if (found < 2) return {0, 0};
        const std::int64_t low = KeyOfPlace(places[0]), high = KeyOfPlace(places[1]);
        if (low < high && (-low) % kLengthClasses == (-high) % kLengthClasses) return {low, high};
        return {0, 0};
    }

    std::int64_t PlaceOf(std::uint32_t doc) {
        const std::uint32_t c = doc / kKeysPerChunk;
        auto found = chunks_.find(c);
        if (found == chunks_.end()) {
            std::vector<std::int64_t> keys;
            bool read = false;
            {
                const std::lock_guard<std::mutex> lock(statements_);
                read = ReadKeyChunk(keysChunk_, id_, c, keys);
            }
            if (!read) Damaged("a segment's keys do not read back");
            found = chunks_.emplace(c, std::move(keys)).first;
        }
        const std::uint32_t i = doc % kKeysPerChunk;
        if (i >= found->second.size()) Damaged("a segment's keys are fewer than its records");
        return found->second[i];
    }

    static constexpr std::uint32_t kNoPart = 0xFFFFFFFFu;
    static constexpr std::uint32_t kPartsAtOnce = 32;
    struct Leaf {
        std::shared_ptr<const StoredList> stored; // none where the segment has no list
        // The list's first row among the term's: kHighParts for a high-impact source's list
        // of a split.
        std::int64_t first = 0;
        bool restLoaded = false;
        ListRest rest;
        std::uint32_t part = kNoPart, parts = 0; // the parts bytes holds
        std::uint32_t run = 1;                   // how many were read at once last
        std::string bytes;
    };

    // Rows first to first + count - 1 of a term's list whose header is at row list (its
    // row 0) into bytes, one after another, an empty one as missing; how many there were.
    // Given the list's header, each part must be of the size it says.
    std::uint32_t Parts(std::int64_t term, std::int64_t list, std::uint32_t first,
                        std::uint32_t count, const ListHeader* header, std::string& bytes) {
        bool cutShort = false;
        std::uint32_t read = 0;
        {
            const std::lock_guard<std::mutex> lock(statements_);
            listParts_.Bind(1, ListRow(id_, term, list + first));
            listParts_.Bind(2, ListRow(id_, term, list + first + count - 1));
            bytes.clear();
            while (listParts_.Step()) {
                const std::string_view data = listParts_.Blob(0);
                if (data.empty()) break;
                if (header && data.size() != header->PartSize(first - 1 + read)) cutShort = true;
                bytes += data;
                ++read;
            }
            listParts_.Reset();
        }
        if (cutShort) Damaged("a part of a list is cut short");
        return read;
    }

    Statement &listParts_, &keysChunk_, &chunkStarts_, &isDead_;
    std::mutex& statements_;
    ListCache& cache_;
    std::int64_t id_;
    std::uint32_t records_;
    bool anyDead_;
    const std::vector<std::int64_t>& termIds_;
    std::vector<Leaf> lists_;
    std::vector<bool> loaded_;
    const StoredSegment* first_ = nullptr; // whose lists a second source takes
    bool highImpact_ = false;
    std::unordered_map<std::uint32_t, std::vector<std::int64_t>> chunks_;
    std::unordered_map<std::uint32_t, std::pair<std::int64_t, std::int64_t>> spans_;
    std::vector<std::int64_t> starts_;
};

// Terms in this many records or more (and segments as large) have whole lists whose
// headers take a search long to read and parse the first time: at ten million records,
// some 600 KB each.
constexpr std::int64_t kLongList = std::int64_t{1} << 20;

// A first search of common words spent its start reading their whole lists' headers and
// parsing them, one after another. Every other of the long ones (by records, longest
// first) is read by loader on a thread of its own, into the cache where segment then finds
// it; with every, all lists whatever their length, as tests ask. Both read through the one
// connection, one at a time: what overlaps is the parsing, which took about as long.
void ReadListsBeside(StoredSegment& segment, StoredSegment& loader,
                     const std::vector<std::int64_t>& records, bool every) {
    std::vector<int> leaves;
    for (int leaf = 0; leaf < static_cast<int>(records.size()); ++leaf)
        if ((every || records[leaf] >= kLongList) && !segment.Kept(leaf)) leaves.push_back(leaf);
    std::stable_sort(leaves.begin(), leaves.end(),
                     [&](int x, int y) { return records[x] > records[y]; });
    if (leaves.size() < 2) return;
    std::exception_ptr failed;
    std::thread other([&] {
        try {
            for (std::size_t i = 1; i < leaves.size(); i += 2)
                loader.List(leaves[i]);
        } catch (...) {
            failed = std::current_exception();
        }
    });
    try {
        for (std::size_t i = 0; i < leaves.size(); i += 2)
            segment.List(leaves[i]);
    } catch (...) {
        other.join();
        throw;
    }
    other.join();
    if (failed) std::rethrow_exception(failed);
}

} // namespace

struct RankReader::Impl {
    explicit Impl(Database& db) : db(db) {
        term = db.Prepare("SELECT id, records FROM rank_term WHERE term = ?1");
        prefix = db.Prepare("SELECT term, records FROM rank_term WHERE term >= ?1 AND term < ?2 "
                            "AND records > 0");
        segments = db.Prepare("SELECT id, records, dead FROM rank_segment ORDER BY records DESC");
        listParts = db.Prepare("SELECT data FROM rank_list WHERE id BETWEEN ?1 AND ?2");
        keysChunk = db.Prepare(kKeyChunkSql);
        chunkStarts = db.Prepare(kChunkStartsSql);
        isDead = db.Prepare("SELECT 1 FROM rank_dead WHERE segment = ?1 AND doc = ?2");
        dataVersion = db.Prepare("PRAGMA data_version");
    }
    Database& db;
    Statement term, prefix, segments, listParts, keysChunk, chunkStarts, isDead, dataVersion;
    ListCache lists;
    bool splitEvery = false;
};

RankReader::RankReader(Database& db) : impl_(std::make_unique<Impl>(db)) {
}

RankReader::~RankReader() = default;

std::int64_t RankReader::Records(std::string_view term) {
    Statement& s = impl_->term;
    s.BindStatic(1, term);
    const std::int64_t records = s.Step() ? s.Int(1) : 0;
    s.Reset();
    return records;
}

std::vector<std::pair<std::string, std::int64_t>>
RankReader::TermsWithPrefix(std::string_view prefix, int limit) {
    std::vector<std::pair<std::string, std::int64_t>> terms;
    if (prefix.empty()) return terms;
    std::string end(prefix);
    end += "\xF4\x8F\xBF\xBF\xFF"; // past every term that begins with prefix
    Statement& s = impl_->prefix;
    s.BindStatic(1, prefix).Bind(2, end);
    while (s.Step())
        terms.emplace_back(s.Text(0), s.Int(1));
    s.Reset();
    std::sort(terms.begin(), terms.end(),
              [](const auto& x, const auto& y) { return x.second > y.second; });
    if (terms.size() > static_cast<std::size_t>(std::max(limit, 0))) terms.resize(limit);
    return terms;
}

std::vector<std::int64_t> RankReader::Best(const RankQuery& query,
                                           const std::vector<std::string>& terms, int limit) {
    Impl& m = *impl_;
    // A search reads thousands of parts of lists: all from one commit, and under one lock.
    ReadTransaction read(m.db);
    m.lists.Check(m.dataVersion);
    std::vector<std::int64_t> ids, termRecords;
    for (const std::string& t : terms) {
        m.term.Bind(1, t);
        const bool found = m.term.Step();
        ids.push_back(found ? m.term.Int(0) : 0);
        termRecords.push_back(found ? m.term.Int(1) : 0);
        m.term.Reset();
    }
    struct Row {
        std::int64_t id, records, dead;
    };
    std::vector<Row> rows;
    while (m.segments.Step())
        rows.push_back({m.segments.Int(0), m.segments.Int(1), m.segments.Int(2)});
    m.segments.Reset();
    TopMatches top(limit);
    std::mutex statements;
    // The largest segment first: it holds the most of the best, and the rest pass over more.
    for (const Row& row : rows) {
        if (row.records <= 0 || row.records > 0xFFFFFFFFll) continue;
        const auto records = static_cast<std::uint32_t>(row.records);
        StoredSegment segment(m.listParts, m.keysChunk, m.chunkStarts, m.isDead, statements,
                              m.lists, row.id, records, row.dead > 0, ids);
        if (m.splitEvery || row.records >= kLongList) {
            StoredSegment loader(m.listParts, m.keysChunk, m.chunkStarts, m.isDead, statements,
                                 m.lists, row.id, records, row.dead > 0, ids);
            ReadListsBeside(segment, loader, termRecords, m.splitEvery);
        }
        StoredSegment second(&segment, false), high(&segment, true), secondHigh(&high, true);
        const bool halves = m.splitEvery || WorthSplitting(query, segment);
        RankSegment(query, segment, top, limit, halves ? &second : nullptr, &high,
                    halves ? &secondHigh : nullptr);
    }
    return top.Take();
}

void RankReader::SplitEverySearch() {
    impl_->splitEvery = true;
}

std::size_t RankReader::Segments() {
    Statement& s = impl_->segments;
    std::size_t count = 0;
    while (s.Step())
        ++count;
    s.Reset();
    return count;
}

} // namespace tamix::server
