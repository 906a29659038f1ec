// `tamix-server mirror` as a program, against a stand-in of NLM's download area on
// loopback: order, replacement and deletion, a cut transfer, what a second run fetches,
// wrong checksums, killed runs, two runs at once, a new year's baseline, and progress.
#include "server/index/index.h"
#include "server/records/sample.h"
#include "support/files.h"
#include "support/holds.h"
#include "support/nlm_stand_in.h"
#include "support/process.h"
#include "support/pubmed_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace tamix {
namespace {

namespace fs = std::filesystem;
using server::IndexReader;
using server::ReadImportedFiles;
using test::Holds;
using test::NlmStandIn;
using test::Process;
using test::ReadFile;
using test::Record;
using test::TempDir;

const std::string kServer = TAMIX_SERVER_BIN;
const std::string& kEntrez = test::kBiopythonEntrez;

std::string Compressed(const std::vector<Record>& records, const std::string& extra = "") {
    return test::Gzip(test::ArticleSet(records, extra));
}

// count sample records whose PMIDs start with the two digits given (sample's own: 99).
std::string Sample(int count, const std::string& prefix) {
    std::ostringstream xml;
    server::WriteSampleCorpus(xml, count);
    std::string text = xml.str();
    const std::string from = "<PMID Version=\"1\">99", to = "<PMID Version=\"1\">" + prefix;
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return test::Gzip(text);
}

std::vector<std::string> ImportedNames(const std::string& index) {
    std::vector<std::string> names;
    for (const auto& file : ReadImportedFiles(index))
        names.push_back(file.name);
    return names;
}

std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

template <typename Condition> bool WaitUntil(Condition condition, int seconds = 20) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

std::int64_t SizeOf(const std::string& path) {
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? -1 : static_cast<std::int64_t>(size);
}

struct Outcome {
    int status;
    std::string log;
};

// A stand-in of NLM's area and an index to mirror it into.
class Mirror : public ::testing::Test {
protected:
    // `tamix-server mirror` with these arguments, by default the index and the stand-in.
    std::vector<std::string> Command(std::vector<std::string> args = {}) const {
        if (args.empty()) args = {"--index", index, "--from", area.Url()};
        args.insert(args.begin(), {kServer, "mirror"});
        return args;
    }
    Outcome Run(const std::string& log, const std::vector<std::string>& args = {}) {
        const int status = test::RunToEnd(Command(args), dir.File(log));
        return {status, ReadFile(dir.File(log))};
    }

    NlmStandIn area;
    TempDir dir;
    const std::string index = dir.File("pubmed.sqlite");
};

const std::string k1 = "pubmed26n0001.xml.gz", k2 = "pubmed26n0002.xml.gz",
                  k3 = "pubmed26n0003.xml.gz", k4 = "pubmed26n0004.xml.gz",
                  k5 = "pubmed26n0005.xml.gz", k6 = "pubmed26n0006.xml.gz";

TEST_F(Mirror, BaselineThenUpdatesInOrderWhileTheServerServes) {
    // NLM's own records, gzip-compressed as NLM's files are.
    area.Add("baseline", k1, ReadFile(kEntrez + "pubmed1.xml.gz")); // 9997 and 12091962
    area.Add("baseline", k2, ReadFile(kEntrez + "pubmed4.xml.gz")); // 27797938
    area.Add("baseline", k3,
             Compressed({{1001, "Zebrafish fins one"},
                         {1002, "Zebrafish fins two"},
                         {1003, "Zebrafish fins three"}}));
    // Update files: 1001 replaced twice (only the order of the files says which wins), a
    // new record, and deletions of an NLM record and of one of ours.
    area.Add("updatefiles", k4,
             Compressed({{1001, "Axolotl limbs, first revision"}, {2001, "Axolotl gills"}},
                        "<DeleteCitation><PMID Version=\"1\">12091962</PMID>"
                        "<PMID Version=\"1\">1002</PMID><PMID>555</PMID></DeleteCitation>\n"));
    area.Add("updatefiles", k5, Compressed({{1001, "Axolotl limbs, second revision"}}));
    // A transfer cut in the middle goes on where it stopped, with a byte range.
    const std::int64_t half = static_cast<std::int64_t>(area.Bytes("baseline", k3).size() / 2);
    area.CutNext(k3, half);

    // The full-text index is merged once, after the last file: while the fourth is asked
    // for, the first comes in and is not merged.
    const auto unmerged = [&] {
        server::Database db(index, SQLITE_OPEN_READONLY);
        server::Statement value = db.Prepare("SELECT value FROM meta WHERE key = 'unmerged'");
        return value.Step() ? value.Int(0) : -1;
    };
    std::int64_t unmergedThen = -1;
    area.OnGet(k4, [&] {
        if (WaitUntil([&] { return !ImportedNames(index).empty(); })) unmergedThen = unmerged();
    });
    Outcome first = Run("first.log");
    ASSERT_EQ(first.status, 0) << first.log;
    EXPECT_GT(unmergedThen, 0);
    EXPECT_EQ(unmerged(), 0);
    EXPECT_EQ(ImportedNames(index), (std::vector<std::string>{k1, k2, k3, k4, k5}));
    const auto rows = ReadImportedFiles(index);
    EXPECT_EQ(rows[0].added, 2);
    EXPECT_EQ(rows[0].md5, test::Md5Hex(area.Bytes("baseline", k1)));
    EXPECT_EQ(rows[3].added, 1);
    EXPECT_EQ(rows[3].replaced, 1);
    EXPECT_EQ(rows[3].deleted, 2) << "555 was never there";
    EXPECT_EQ(rows[4].replaced, 1);
    EXPECT_FALSE(rows[4].importedAt.empty());
    {
        IndexReader reader(index);
        EXPECT_EQ(reader.Size(), 5);
        ASSERT_TRUE(reader.Find(1001));
        EXPECT_EQ(reader.Find(1001)->title, "Axolotl limbs, second revision");
        EXPECT_FALSE(reader.Find(1002));
        EXPECT_FALSE(reader.Find(12091962));
        EXPECT_TRUE(reader.Find(27797938));
    }
    // Downloads go beside the index and are deleted once imported.
    EXPECT_TRUE(FolderNames(index + ".downloads").empty());
    EXPECT_TRUE(Holds(first.log, k5 + " (5 of 5): 1 records (0 added, 1 replaced), 0 deleted"));
    // A line a file, the merge, then the summary; nothing drawn.
    EXPECT_EQ(first.log.find_first_of("\x1b\r"), std::string::npos);
    EXPECT_EQ(first.log.rfind("mirror: 5 new files from " + area.Url(), 0), 0u) << first.log;
    EXPECT_TRUE(Holds(first.log, "\nmerging the full-text index\ntamix-server: 5 files imported"));
    EXPECT_TRUE(Holds(first.log, k3 + ": resumed at byte " + std::to_string(half)));
    EXPECT_EQ(area.Stats(k3).ranges,
              (std::vector<std::string>{"", "bytes=" + std::to_string(half) + "-"}));

    // The server answers from the same file while the next runs write it.
    std::unique_ptr<Process> server;
    const int port = test::ServeBinary(server, kServer, index, {"--quiet"}, dir.File("serve.log"));
    ASSERT_GT(port, 0) << server->Stderr();
    httplib::Client client("127.0.0.1", port);
    ASSERT_TRUE(client.Get("/m/pubmed/?term=quokka"));

    // A second run with nothing new fetches no file.
    Outcome second = Run("second.log");
    EXPECT_EQ(second.status, 0) << second.log;
    EXPECT_TRUE(Holds(second.log, "up to date"));
    for (const auto& name : {k1, k2, k3, k4, k5}) {
        EXPECT_EQ(area.Stats(name).gets, name == k3 ? 2 : 1) << name;
        EXPECT_EQ(area.Stats(name).md5Gets, 1) << name;
    }

    // A new update file is fetched alone, into the folder given, and kept when asked.
    area.Add("updatefiles", k6, Compressed({{3001, "Quokka sleep"}}));
    const std::string kept = dir.File("kept");
    Outcome third =
        Run("third.log", {"--index", index, "--from", area.Url(), "--files", kept, "--keep"});
    ASSERT_EQ(third.status, 0) << third.log;
    EXPECT_EQ(area.Stats(k6).gets, 1);
    EXPECT_EQ(area.Stats(k5).gets, 1);
    EXPECT_EQ(ImportedNames(index), (std::vector<std::string>{k1, k2, k3, k4, k5, k6}));
    EXPECT_EQ(FolderNames(kept), std::vector<std::string>{k6});
    EXPECT_EQ(ReadFile(kept + "/" + k6), area.Bytes("updatefiles", k6));
    const auto page = client.Get("/m/pubmed/?term=quokka");
    ASSERT_TRUE(page);
    EXPECT_TRUE(Holds(page->body, "Quokka sleep")) << "the server saw the update";
    EXPECT_EQ(server->Stop(SIGTERM), 0);
}

TEST_F(Mirror, AWrongChecksumStopsTheRunAndImportsNothingOfThatFile) {
    area.Add("baseline", k1, ReadFile(kEntrez + "pubmed1.xml.gz"));
    area.Add("baseline", k2, ReadFile(kEntrez + "pubmed4.xml.gz"));
    area.Add("baseline", k3, ReadFile(kEntrez + "pubmed5.xml.gz"));
    area.WrongMd5(k2);
    Outcome run = Run("run.log");
    EXPECT_EQ(run.status, 1) << run.log;
    EXPECT_TRUE(
        Holds(run.log, "tamix-server: 1 of 3 files imported, then: " + k2 +
                           ": the checksum is wrong again after a second download from scratch"));
    // Fetched twice, the second time whole; nothing of it in the index or the folder.
    EXPECT_EQ(area.Stats(k2).ranges, (std::vector<std::string>{"", ""}));
    EXPECT_EQ(area.Stats(k2).md5Gets, 2) << "its checksum asked for again, too";
    EXPECT_EQ(ImportedNames(index), std::vector<std::string>{k1});
    EXPECT_FALSE(IndexReader(index).Find(27797938));
    EXPECT_TRUE(FolderNames(index + ".downloads").empty());
    EXPECT_EQ(area.Stats(k3).gets, 0) << "the run stopped at the bad file";

    // Bytes that come wrong once are fetched again from scratch, and then go in.
    area.WrongMd5(k2, false);
    area.CorruptNext(k2);
    run = Run("again.log");
    ASSERT_EQ(run.status, 0) << run.log;
    EXPECT_TRUE(Holds(run.log, "downloading it once more from scratch"));
    EXPECT_EQ(area.Stats(k2).gets, 4);
    EXPECT_EQ(ImportedNames(index), (std::vector<std::string>{k1, k2, k3}));
    EXPECT_TRUE(IndexReader(index).Find(27797938));

    // NLM's checksum over a file that breaks off: none of its records go in.
    std::string whole =
        Compressed({{4001, "Intact start"}, {4002, "Intact middle"}, {4003, "Lost end"}});
    area.Add("updatefiles", k4, whole.substr(0, whole.size() - 30));
    run = Run("broken.log");
    EXPECT_EQ(run.status, 1) << run.log;
    EXPECT_TRUE(Holds(run.log, k4 + " could not be read to its end"));
    EXPECT_EQ(ImportedNames(index), (std::vector<std::string>{k1, k2, k3}));
    EXPECT_FALSE(IndexReader(index).Find(4001));
}

TEST_F(Mirror, KilledRunsResumeWithNoFileTwiceAndNoneSkipped) {
    area.Add("baseline", k1, Sample(2000, "97"));
    area.Add("baseline", k2, Sample(2000, "96"));
    area.Add("updatefiles", k3, Sample(2000, "95"));
    const std::string folder = index + ".downloads";

    // Killed in the middle of the first download.
    area.Slow(k1, std::chrono::milliseconds(40));
    {
        Process run(Command(), dir.File("killed1.log"));
        ASSERT_TRUE(WaitUntil([&] { return SizeOf(folder + "/" + k1 + ".part") > 60000; }));
        EXPECT_EQ(run.Stop(SIGKILL), 128 + SIGKILL);
    }
    area.Slow(k1, std::chrono::milliseconds(0));
    // Killed once the second file is in: while the first or the second is being imported.
    {
        Process run(Command(), dir.File("killed2.log"));
        ASSERT_TRUE(WaitUntil([&] { return SizeOf(folder + "/" + k2) > 0; }));
        run.Stop(SIGKILL);
    }
    Outcome last = Run("last.log");
    ASSERT_EQ(last.status, 0) << last.log;
    EXPECT_TRUE(Holds(last.log, "2,000 records (2,000 added, 0 replaced)"));

    const auto ranges = area.Stats(k1).ranges;
    ASSERT_GE(ranges.size(), 2u);
    EXPECT_EQ(ranges[0], "");
    EXPECT_EQ(ranges[1].rfind("bytes=", 0), 0u) << "the cut download went on where it was";
    EXPECT_NE(ranges[1], "bytes=0-");
    // Each file once, whole: had half a file been committed, its rerun would count replacements.
    EXPECT_EQ(ImportedNames(index), (std::vector<std::string>{k1, k2, k3}));
    for (const auto& row : ReadImportedFiles(index)) {
        EXPECT_EQ(row.added, 2000) << row.name;
        EXPECT_EQ(row.replaced, 0) << row.name;
    }
    EXPECT_EQ(IndexReader(index).Size(), 6000);
    EXPECT_TRUE(FolderNames(folder).empty()) << "left-overs of the killed runs are cleared";
}

TEST_F(Mirror, OneWriterAtATimeAndAStopKeepsWhatWasDone) {
    area.Add("baseline", k1, ReadFile(kEntrez + "pubmed1.xml.gz"));
    area.Add("baseline", k2, Sample(2000, "94"));
    area.Slow(k2, std::chrono::milliseconds(100));
    Process holder(Command(), dir.File("holder.log"));
    ASSERT_TRUE(WaitUntil([&] { return SizeOf(index + ".downloads/" + k2 + ".part") > 0; }));

    Outcome second = Run("second.log");
    EXPECT_EQ(second.status, 1);
    const std::string holderText =
        "pid " + std::to_string(holder.pid()) + " (" + kServer + " mirror --index " + index;
    EXPECT_TRUE(Holds(second.log, index + " is being written by " + holderText));
    Process import({kServer, "import", "--index", index, kEntrez + "pubmed5.xml.gz"},
                   dir.File("import.log"));
    EXPECT_EQ(import.Wait(), 1);
    EXPECT_TRUE(Holds(import.Stderr(), holderText));

    // Stopped (as Ctrl-C or systemd would): the first file stays, the second goes on later.
    ASSERT_TRUE(WaitUntil([&] { return ImportedNames(index).size() == 1; }));
    EXPECT_EQ(holder.Stop(SIGTERM), 128 + SIGTERM) << "it dies of the signal it was sent";
    EXPECT_TRUE(Holds(holder.Stderr(), "stopped after importing 1 of 2 files"));
    area.Slow(k2, std::chrono::milliseconds(0));
    Outcome after = Run("after.log");
    ASSERT_EQ(after.status, 0) << after.log;
    EXPECT_EQ(ImportedNames(index), (std::vector<std::string>{k1, k2}));
    ASSERT_EQ(area.Stats(k2).ranges.size(), 2u);
    EXPECT_EQ(area.Stats(k2).ranges[1].rfind("bytes=", 0), 0u);
}

TEST_F(Mirror, ANewYearsBaselineStopsWithWhatToDo) {
    area.Add("baseline", k1, Compressed({{1, "Old year one"}}));
    area.Add("updatefiles", k2, Compressed({{2, "Old year two"}}));
    ASSERT_EQ(Run("first.log").status, 0);

    // NLM's new baseline arrives while an update of the old year is still pending.
    area.Remove("baseline", k1);
    area.Add("baseline", "pubmed27n0001.xml.gz", Compressed({{1, "New year one"}}));
    area.Add("updatefiles", k3, Compressed({{3, "Old year three"}}));
    area.Add("updatefiles", "pubmed27n0002.xml.gz", Compressed({{4, "New year four"}}));
    Outcome run = Run("new.log");
    EXPECT_EQ(run.status, 3) << run.log;
    EXPECT_EQ(ImportedNames(index), (std::vector<std::string>{k1, k2, k3}));
    for (const std::string& words :
         {std::string("holds the 2026 baseline"),
          "tamix-server mirror --index " + dir.File("pubmed-2027.sqlite") + " --from " + area.Url(),
          "tamix-server serve --index " + dir.File("pubmed-2027.sqlite")})
        EXPECT_TRUE(Holds(run.log, words));
    EXPECT_EQ(Run("again.log").status, 3);
    EXPECT_EQ(IndexReader(index).Find(1)->title, "Old year one");
}

TEST_F(Mirror, WhatItCannotWorkWith) {
    EXPECT_EQ(Run("usage.log", {"--from", area.Url()}).status, 2);
    Outcome missing =
        Run("404.log", {"--index", dir.File("a.sqlite"), "--from", area.Url() + "elsewhere/"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(Holds(missing.log,
                      "cannot read the listing " + area.Url() + "elsewhere/baseline/: HTTP 404"));
    Outcome empty = Run("empty.log", {"--index", dir.File("a.sqlite"), "--from", area.Url()});
    EXPECT_EQ(empty.status, 1);
    EXPECT_TRUE(Holds(empty.log, "names no pubmedYYnNNNN.xml.gz file"));
    area.Add("baseline", k1, Compressed({{1, "One"}}));
    Outcome notIndex = Run("text.log", {"--index", dir.Write("text.sqlite", std::string(5000, 'x')),
                                        "--from", area.Url()});
    EXPECT_EQ(notIndex.status, 1);
    EXPECT_TRUE(Holds(notIndex.log, "not a database"));
}

// A run on a terminal, its k1 large enough that k2 is asked for while k1 is imported.
TEST_F(Mirror, LiveLinesOnATerminalAndTheNextFileDownloadsDuringAnImport) {
    area.Add("baseline", k1, Sample(4000, "93"));
    area.Add("updatefiles", k2, Sample(2000, "92"));
    // Slow enough that a download's rate and time left are drawn.
    area.Slow(k1, std::chrono::milliseconds(10));
    area.Slow(k2, std::chrono::milliseconds(10));
    std::vector<std::string> importedThen = {"not asked"};
    area.OnGet(k2, [&] { importedThen = ImportedNames(index); });

    // On a terminal of 120 columns, which script(1) gives it.
    const std::string screen = dir.File("screen.txt");
    const std::string command =
        "stty cols 120; exec " + kServer + " mirror --index " + index + " --from " + area.Url();
    const std::string script = "script -qec '" + command + "' " + screen + " >/dev/null";
    ASSERT_EQ(test::RunToEnd({"/bin/sh", "-c", script}, dir.File("script.log")), 0)
        << ReadFile(screen);
    EXPECT_TRUE(importedThen.empty()) << "the second file was asked for before the first was in";
    // Lines redrawn in place, with a download's rate and time left, and the whole run's.
    for (const std::string& words :
         {std::string("\x1b[J"), "download 1 of 2 " + k1, "download 2 of 2 " + k2,
          std::string("/s "), std::string(" left"), "import   1 of 2 " + k1,
          std::string("left in all")})
        EXPECT_TRUE(Holds(ReadFile(screen), words));
}

} // namespace
} // namespace tamix
