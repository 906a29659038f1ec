// tamix-server's index under faults, through the built binary: imports killed with
// SIGKILL, a disk that fills during an import, files that are not an index (or one of an
// older layout) given to `serve`, and an index cut short while it is served.
#include "server/index/index.h"
#include "server/index/sqlite.h"
#include "support/files.h"
#include "support/process.h"
#include "support/pubmed_fixture.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/resource.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <thread>

namespace tamix {
namespace {

using namespace std::chrono_literals;
using test::Process;
using test::RunToEnd;
using test::Status;
using test::TempDir;

const std::string kServer = TAMIX_SERVER_BIN;
constexpr std::int64_t kFirstPmid = 99000001; // the sample's first record
constexpr int kPerFile = 500;
constexpr int kFiles = 6;

// The sample corpus cut into files of kPerFile records, PMIDs in order. The importer
// commits at the end of each file, so an import stopped anywhere leaves whole files.
std::vector<std::string> SampleFiles(const TempDir& dir, int files) {
    const std::string whole = dir.File("sample.xml");
    EXPECT_EQ(
        RunToEnd({kServer, "sample", "--count", std::to_string(files * kPerFile), "--out", whole},
                 dir.File("sample.log")),
        0);
    const std::string xml = test::ReadFile(whole);
    std::vector<std::size_t> starts;
    for (std::size_t at = xml.find("<PubmedArticle>"); at != std::string::npos;
         at = xml.find("<PubmedArticle>", at + 1))
        starts.push_back(at);
    EXPECT_EQ(starts.size(), static_cast<std::size_t>(files * kPerFile));
    const std::size_t end = xml.rfind("</PubmedArticleSet>");
    std::vector<std::string> names;
    for (int f = 0; f < files && !starts.empty(); ++f) {
        const std::size_t from = starts[f * kPerFile];
        const std::size_t to = f + 1 < files ? starts[(f + 1) * kPerFile] : end;
        names.push_back(dir.Write("part" + std::to_string(f) + ".xml",
                                  xml.substr(0, starts[0]) + xml.substr(from, to - from) +
                                      "</PubmedArticleSet>\n"));
    }
    return names;
}

std::vector<std::string> ImportCommand(const std::string& index,
                                       const std::vector<std::string>& files) {
    std::vector<std::string> args = {kServer, "import", "--index", index};
    args.insert(args.end(), files.begin(), files.end());
    return args;
}

// What an interrupted import left: SQLite and FTS5 find the file consistent, `serve` takes
// it, and it holds whole files of records in order. records: how many.
void ExpectWhole(const std::string& index, std::int64_t& records) {
    EXPECT_EQ(server::IndexFileProblem(index, false), "");
    {
        server::IndexReader reader(index);
        records = reader.Size();
        EXPECT_EQ(records % kPerFile, 0) << "a file is committed whole or not at all";
        EXPECT_TRUE(reader.Find(kFirstPmid));
        EXPECT_TRUE(reader.Find(kFirstPmid + records - 1));
        EXPECT_FALSE(reader.Find(kFirstPmid + records));
    }

    server::Database db(index, SQLITE_OPEN_READWRITE);
    auto check = db.Prepare("PRAGMA integrity_check");
    ASSERT_TRUE(check.Step());
    EXPECT_EQ(check.Text(0), "ok");
    // FTS5 against its content table: every record indexed as it reads, and nothing else.
    EXPECT_NO_THROW(
        db.Exec("INSERT INTO article_fts(article_fts, rank) VALUES('integrity-check', 1)"));
    auto count = db.Prepare("SELECT count(*) FROM article");
    ASSERT_TRUE(count.Step());
    EXPECT_EQ(count.Int(0), records);
}

TEST(ServerCrash, KilledImportsLeaveAServedIndexThatTheNextImportCompletes) {
    TempDir dir;
    const auto files = SampleFiles(dir, kFiles);
    ASSERT_EQ(files.size(), static_cast<std::size_t>(kFiles));
    const std::string index = dir.File("index.sqlite");
    std::mt19937 random(13);

    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(RunToEnd(ImportCommand(index, {files[0]}), dir.File("base.log")), 0);
    const auto perFile = std::chrono::steady_clock::now() - started;
    std::int64_t records = 0;
    ASSERT_NO_FATAL_FAILURE(ExpectWhole(index, records));
    EXPECT_EQ(records, kPerFile);

    // Each import takes the files not yet in (all of them again, replacing every record,
    // once they are) and is killed at a random point of the time they take on this
    // machine: in a transaction or while it commits.
    std::uniform_real_distribution<double> share(0.1, 0.8);
    for (int kill = 0; kill < 3; ++kill) {
        const std::vector<std::string> rest(
            files.begin() + (records < kFiles * kPerFile ? records / kPerFile : 0), files.end());
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            perFile * static_cast<double>(rest.size()) * share(random));
        Process import(ImportCommand(index, rest), dir.File("import.log"));
        std::this_thread::sleep_for(wait);
        import.Stop(SIGKILL);
        const std::int64_t before = records;
        ASSERT_NO_FATAL_FAILURE(ExpectWhole(index, records))
            << "killed after " << wait.count() << " ms";
        EXPECT_GE(records, before) << "a committed record is never lost";
    }
    // The whole command again completes the index, whatever the kills left.
    ASSERT_EQ(RunToEnd(ImportCommand(index, files), dir.File("last.log")), 0);
    ASSERT_NO_FATAL_FAILURE(ExpectWhole(index, records));
    EXPECT_EQ(records, kFiles * kPerFile);
}

// A size limit on every file the child writes, as a full disk or a file system's own limit
// would set. SIGXFSZ is ignored so that the write past it fails with EFBIG instead.
void LimitFileSize() {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4 << 20, 4 << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
}

// An import onto a disk that fills: it ends with exit status 1 and a message that names
// the index and the lack of space, and what it committed before serves.
void ExpectFullDiskHandled(const TempDir& dir, const std::string& index,
                           const std::vector<std::string>& files,
                           const std::function<void()>& inChild) {
    ASSERT_EQ(RunToEnd(ImportCommand(index, {files[0]}), dir.File("base.log")), 0);
    Process import(ImportCommand(index, files), dir.File("full.log"), inChild);
    EXPECT_EQ(import.Wait(), 1);
    const std::string log = import.Stderr();
    EXPECT_NE(log.find("tamix-server: cannot write the index " + index + ": no space left"),
              std::string::npos)
        << log;
    std::int64_t records = 0;
    ASSERT_NO_FATAL_FAILURE(ExpectWhole(index, records));
    EXPECT_LT(records, static_cast<std::int64_t>(files.size()) * kPerFile)
        << "the disk was meant to fill before the end";
}

TEST(ServerCrash, FileSizeLimitEndsTheImportAndTheIndexServes) {
    TempDir dir;
    const auto files = SampleFiles(dir, kFiles);
    const std::string index = dir.File("index.sqlite");
    ASSERT_NO_FATAL_FAILURE(ExpectFullDiskHandled(dir, index, files, LimitFileSize));
}

// A small tmpfs, mounted for the life of the object when the test may mount one.
class SmallDisk {
public:
    explicit SmallDisk(const std::string& path) : path_(path) {
        std::filesystem::create_directory(path);
        mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, "size=5m") == 0;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return mounted_; }

private:
    std::string path_;
    bool mounted_ = false;
};

TEST(ServerCrash, FullDiskEndsTheImportAndTheIndexServes) {
    TempDir dir;
    SmallDisk disk(dir.File("disk"));
    if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs needs CAP_SYS_ADMIN";
    ASSERT_NO_FATAL_FAILURE(
        ExpectFullDiskHandled(dir, dir.File("disk/index.sqlite"), SampleFiles(dir, kFiles), {}));
}

TEST(ServerCrash, ServeRefusesWhatIsNotAnIndex) {
    TempDir dir;
    const std::string text = dir.Write("notes.txt", "These are notes, not an index.\n");
    const std::string empty = dir.Write("empty.sqlite", "");
    const std::string garbage =
        dir.Write("garbage.sqlite", std::string("SQLite format 3\0", 16) + std::string(9000, 'x'));
    const std::string foreign = dir.File("bookmarks.sqlite");
    {
        server::Database db(foreign, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        db.Exec("CREATE TABLE bookmark(url TEXT); INSERT INTO bookmark VALUES('http://x/')");
    }
    // As an import killed before its first commit leaves it.
    const std::string unfinished = dir.File("unfinished.sqlite");
    server::Database(unfinished, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)
        .Exec("PRAGMA page_size=16384; PRAGMA journal_mode=WAL;");
    std::filesystem::create_directory(dir.File("folder"));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {unfinished, "no tables"},
        {text, "not a SQLite database"},
        {empty, "empty"},
        {garbage, "cannot be read"},
        {foreign, "without the index's tables"},
        {dir.File("missing.sqlite"), "No such file"},
        {dir.File("folder"), "folder"}};
    for (const auto& [file, reason] : cases) {
        Process serve({kServer, "serve", "--index", file, "--listen", "127.0.0.1:0"},
                      dir.File("serve.log"));
        EXPECT_EQ(serve.WaitUpTo(10s), 1) << file;
        const std::string log = serve.Stderr();
        EXPECT_NE(log.find("tamix-server: cannot serve " + file + ": "), std::string::npos) << log;
        EXPECT_NE(log.find(reason), std::string::npos) << log;
    }

    // An import does not take over another program's database ...
    const std::string records = dir.Write("records.xml", test::ArticleSet({{12345, "Kept"}}));
    const auto before = std::filesystem::file_size(foreign);
    EXPECT_EQ(RunToEnd({kServer, "import", "--index", foreign, records}, dir.File("i.log")), 1);
    EXPECT_EQ(std::filesystem::file_size(foreign), before);
    const std::string log = test::ReadFile(dir.File("i.log"));
    EXPECT_EQ(log.rfind("tamix-server: cannot import into " + foreign + ": ", 0), 0u) << log;
    // ... but makes an empty file, or one without tables yet, its index.
    for (const std::string& file : {empty, unfinished}) {
        EXPECT_EQ(RunToEnd({kServer, "import", "--index", file, records}, dir.File("i.log")), 0);
        EXPECT_EQ(server::IndexFileProblem(file, false), "");
        EXPECT_TRUE(server::IndexReader(file).Find(12345)) << file;
    }

    // An index of an older layout is refused by both commands, with the way out, and left
    // as it was: the first layout (no version written) and the one before the record's
    // fields (2).
    for (const int version : {1, 2}) {
        const std::string file = dir.File("schema" + std::to_string(version) + ".sqlite");
        test::ImportFiles(file, {records});
        server::Database(file, SQLITE_OPEN_READWRITE)
            .Exec(version == 1 ? "DELETE FROM meta WHERE key = 'schema'"
                               : "UPDATE meta SET value = 2 WHERE key = 'schema'");
        const std::string why = "tamix-server: " + file +
                                " was made by an older tamix-server (index schema " +
                                std::to_string(version) + ", this tamix-server reads schema " +
                                std::to_string(server::kSchemaVersion) +
                                "). Rebuild it by re-importing the same records into a new "
                                "index file: tamix-server import --index NEW.sqlite RECORDS...";
        for (const auto& args : {std::vector<std::string>{kServer, "serve", "--index", file,
                                                          "--listen", "127.0.0.1:0"},
                                 {kServer, "import", "--index", file, records}}) {
            Process p(args, dir.File("old.log"));
            EXPECT_EQ(p.WaitUpTo(10s), 1) << args[1];
            EXPECT_NE(p.Stderr().find(why), std::string::npos) << p.Stderr();
        }
        server::Database db(file, SQLITE_OPEN_READONLY);
        server::Statement left = db.Prepare("SELECT value FROM meta WHERE key = 'schema'");
        EXPECT_EQ(left.Step() ? left.Int(0) : -1, version == 1 ? -1 : version)
            << "the refused index is left as it was";
    }
}

// An index cut short and put back, again and again, under reads in flight, as a copy over
// the served file does: a memory-mapped read past the file's new end raises SIGBUS, which
// would end the server. Requests answer (500 while the file is short), and once it is whole
// again the server serves it as before.
TEST(ServerCrash, CutShortUnderLoadGives500AndTheServerLivesOn) {
    TempDir dir;
    const std::string sample = dir.File("sample.xml"), index = dir.File("index.sqlite");
    ASSERT_EQ(RunToEnd({kServer, "sample", "--count", "12000", "--out", sample}, dir.File("s.log")),
              0);
    ASSERT_EQ(RunToEnd(ImportCommand(index, {sample}), dir.File("i.log")), 0);
    const std::string whole = test::ReadFile(index);
    std::unique_ptr<Process> server;
    const int port = test::ServeBinary(server, kServer, index, {}, dir.File("serve.log"));
    ASSERT_GT(port, 0) << server->Stderr();

    std::atomic<bool> stop{false};
    std::atomic<int> ok{0}, failed{0}, unanswered{0}, other{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c)
        clients.emplace_back([&, c] {
            httplib::Client client("127.0.0.1", port);
            client.set_connection_timeout(5);
            client.set_read_timeout(10);
            // A new query each time (the server keeps the orders it made), ranked over
            // thousands of matches, so that reads are under way whenever the file changes.
            for (int i = 0; !stop; ++i) {
                const std::string target = "/m/pubmed/?term=patients+OR+" +
                                           std::to_string(c * 1000000 + i) +
                                           "&sort=relevance&page=" + std::to_string(1 + i % 40);
                const auto res = client.Get(target);
                if (!res) {
                    ++unanswered;
                    std::this_thread::sleep_for(50ms);
                } else if (res->status == 200) {
                    ++ok;
                } else if (res->status == 500) {
                    ++failed;
                } else {
                    ++other;
                }
            }
        });
    std::mt19937 random(11);
    for (int round = 0; round < 20 && server->Running(); ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 40));
        std::filesystem::resize_file(index, whole.size() / 8 * (1 + random() % 6));
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 40));
        std::fstream file(index, std::ios::in | std::ios::out | std::ios::binary);
        file.write(whole.data(), static_cast<std::streamsize>(whole.size()));
    }
    stop = true;
    for (auto& client : clients)
        client.join();

    ASSERT_TRUE(server->Running()) << "the server died: status " << server->Wait();
    EXPECT_EQ(unanswered, 0);
    EXPECT_EQ(other, 0);
    EXPECT_GT(failed, 0) << "the file was never short while a request read it";
    EXPECT_GT(ok, 0);
    // Whole again: served as before, by readers that did not keep what they read while it
    // was short.
    for (int page = 1; page <= 12; ++page)
        EXPECT_EQ(Status(port, "/m/pubmed/?term=trial&page=" + std::to_string(page)), 200);
    EXPECT_EQ(server->Stop(SIGTERM), 0);
    EXPECT_NE(server->Stderr().find("tamix-server: stopped"), std::string::npos);
}

} // namespace
} // namespace tamix
