// tamix-server's command line, run as a user types it: every option of the usage text,
// the import's progress on a terminal and in a log, and the translation engine the
// command line chooses, read back by the program's own request and decoding.
#include "pubmed/addresses.h"
#include "pubmed/download.h"
#include "pubmed/translation.h"
#include "server/index/index.h"
#include "server/translate/translate.h"
#include "support/files.h"
#include "support/process.h"
#include "support/pubmed_fixture.h"
#include "support/test_server.h"
#include "support/translation_stand_in.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <thread>

namespace tamix {
namespace {

using test::Process;
using test::ReadFile;
using test::RunToEnd;
using test::TempDir;

const std::string kServer = TAMIX_SERVER_BIN;

// True when the text holds this at the start of a line.
bool HasLine(const std::string& text, const std::string& start) {
    for (std::size_t at = text.find(start); at != std::string::npos; at = text.find(start, at + 1))
        if (at == 0 || text[at - 1] == '\n') return true;
    return false;
}

// Standard output of a command line run through the shell, and its exit status.
std::pair<std::string, int> Output(const std::string& commandLine) {
    FILE* pipe = popen(commandLine.c_str(), "r");
    std::string out;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    const int raw = pclose(pipe);
    return {out, WIFEXITED(raw) ? WEXITSTATUS(raw) : -1};
}

// What the program reads: its own translation request to the server at this port.
std::optional<std::string> TranslateThrough(int port, const std::string& source,
                                            const TempDir& dir) {
    setenv(kTranslateHostVariable, ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
    const std::string file = dir.File("temp.json");
    const bool ok = DownloadToFile(MakeTranslateAddress(source), file);
    unsetenv(kTranslateHostVariable);
    return ok ? DecodeTranslation(ReadScratchFile(file)) : std::nullopt;
}

// `serve` with the given extra options on a free port; -1 when it did not come up. A
// translation service's key is in the environment, as a service manager gives it.
int Serve(std::unique_ptr<Process>& process, const std::string& index,
          const std::vector<std::string>& extra, const std::string& log,
          const std::string& key = "") {
    if (!key.empty()) setenv("TAMIX_TRANSLATE_KEY", key.c_str(), 1);
    const int port = test::ServeBinary(process, kServer, index, extra, log);
    unsetenv("TAMIX_TRANSLATE_KEY");
    return port;
}

std::string EmptyIndex(const TempDir& dir) {
    const std::string index = dir.File("index.sqlite");
    test::ImportFiles(index, {dir.Write("empty.xml", test::ArticleSet({}))});
    return index;
}

TEST(ServerOptions, HelpIsTheReadmesUsageAndImportReadsStandardInput) {
    const auto [help, status] = Output(kServer + " --help");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Output(kServer + " serve --index x --help").first, help) << "help anywhere";

    // The README shows the usage text itself, indented as a code block.
    std::string indented;
    for (std::size_t at = 0; at < help.size();) {
        const std::size_t end = help.find('\n', at);
        indented += "    " + help.substr(at, end + 1 - at);
        at = end + 1;
    }
    EXPECT_NE(ReadFile(TAMIX_SOURCE_DIR "/README.md").find(indented), std::string::npos)
        << "README.md's tamix-server block is not the usage text:\n"
        << indented;

    // The manual page names every command and option the usage text does (roff writes a
    // '-' as "\\-").
    const std::string manual = ReadFile(TAMIX_SOURCE_DIR "/res/packaging/tamix-server.1.in");
    const std::regex word("(^|[\\s|\\[])(--?[a-z][a-z-]*|import|sample|serve|mirror)\\b");
    for (std::sregex_iterator it(help.begin(), help.end(), word), end; it != end; ++it) {
        std::string roff = (*it)[2];
        for (std::size_t at = 0; (at = roff.find('-', at)) != std::string::npos; at += 2)
            roff.insert(at, "\\");
        EXPECT_NE(manual.find(roff), std::string::npos) << "the manual page lacks " << (*it)[2];
    }

    // "-" imports standard input, XML (piped from sample, or gzip-compressed) or MEDLINE.
    TempDir dir;
    const std::string piped = dir.File("piped.sqlite");
    const std::string import =
        " | " + kServer + " import --index " + piped + " - 2>>" + dir.File("i.log");
    for (const std::string& input :
         {kServer + " sample --count 40", kServer + " sample --count 45 | gzip",
          std::string("printf 'PMID- 7\nTI  - Quokka census.\n'")})
        EXPECT_EQ(Output(input + import).second, 0) << input;
    EXPECT_EQ(server::IndexReader(piped).Size(), 46) << ReadFile(dir.File("i.log"));
}

TEST(ServerOptions, WrongCommandLinesAreUsageErrors) {
    TempDir dir;
    unsetenv("TAMIX_TRANSLATE_KEY");
    // I and F stand for paths in the scratch folder, so that a command line wrongly taken
    // leaves nothing behind.
    for (const std::string line :
         {"", "frobnicate", "serve --index", "serve --index I --colour",
          "import --index I --quiet F", "import --index I", "import F", "sample",
          "sample --count 3x", "serve --index I --threads 0", "serve --index I --threads many",
          "serve --index I --listen 8790", "serve --index I --listen 127.0.0.1:99999", "serve I",
          // What a backend address may be is checked where it is read; here, that a wrong one
          // is a usage error, and the rules that join options.
          "serve --index I --translate-backend ftp://127.0.0.1:5000",
          "serve --index I --translate-backend openai:http://127.0.0.1:5000/v1",
          "serve --index I --translate-backend http://127.0.0.1:5000 --translate-model m",
          "serve --index I --translate-model m",
          // DeepL takes no request without its key, which TAMIX_TRANSLATE_KEY does not hold here.
          "serve --index I --translate-backend deepl:http://127.0.0.1:5000"}) {
        std::vector<std::string> args{kServer};
        std::istringstream words(line);
        for (std::string w; words >> w;)
            args.push_back(w == "I" ? dir.File("i.sqlite") : w == "F" ? dir.File("f.xml") : w);
        Process p(args, dir.File("u.log"));
        EXPECT_EQ(p.WaitUpTo(std::chrono::seconds(10)), 2) << line;
        EXPECT_NE(p.Stderr().find("usage:"), std::string::npos) << line;
    }
}

TEST(ServerOptions, GlossaryFileAnnotatesItsTermsAndAWrongOneStopsTheStart) {
    TempDir dir;
    const std::string index = EmptyIndex(dir);
    // Terms of our own, so that only this file can have produced the annotation.
    const std::string glossary = dir.Write(
        "mine.tsv", "# two made-up terms\nquokka fever\t\xE8\xA2\x8B\xE9\xBC\xA0\xE7\x83\xAD\n"
                    "wombat\t\xE8\xA2\x8B\xE7\x86\x8A\n");

    std::unique_ptr<Process> server;
    const int port = Serve(server, index, {"--glossary", glossary, "--threads", "2", "--quiet"},
                           dir.File("serve.log"));
    ASSERT_GT(port, 0) << server->Stderr();
    EXPECT_EQ(TranslateThrough(port, "Quokka fevers and a wombat.", dir),
              "Quokka fevers\xEF\xBC\x88\xE8\xA2\x8B\xE9\xBC\xA0\xE7\x83\xAD\xEF\xBC\x89"
              "and a wombat\xEF\xBC\x88\xE8\xA2\x8B\xE7\x86\x8A\xEF\xBC\x89.");
    EXPECT_EQ(server->Stop(SIGTERM), 0);
    EXPECT_NE(server->Stderr().find("(2 threads, "), std::string::npos) << server->Stderr();
    EXPECT_EQ(server->Stderr().find("\"GET "), std::string::npos) << "--quiet keeps no access log";

    // A glossary that is not there, or holds nothing, is said at start with status 1.
    for (const std::string& bad :
         {dir.File("missing.tsv"), dir.Write("empty.tsv", "# nothing\n"), dir.File("")}) {
        Process p(
            {kServer, "serve", "--index", index, "--listen", "127.0.0.1:0", "--glossary", bad},
            dir.File("bad.log"));
        EXPECT_EQ(p.WaitUpTo(std::chrono::seconds(10)), 1) << bad;
        const std::string log = p.Stderr();
        EXPECT_NE(log.find(bad), std::string::npos) << log;
    }
}

TEST(ServerOptions, TranslateBackendForwardsToALibreTranslateService) {
    test::TranslationStandIn service;
    const std::string source = "Heart failure & more #1 50% a+b";
    // Written back to the program in \u escapes, a surrogate pair past U+FFFF.
    const std::string translated = "心力衰竭 \"ok\" \xF0\x9F\x98\x80 #1 50%，译文";
    service.Translate(source, translated);
    TempDir dir;
    std::unique_ptr<Process> server;
    const int port =
        Serve(server, EmptyIndex(dir), {"--translate-backend", service.LibreTranslateBase()},
              dir.File("serve.log"));
    ASSERT_GT(port, 0) << server->Stderr();
    EXPECT_EQ(TranslateThrough(port, source, dir), translated)
        << "exactly the service's text, annotated no further";
    ASSERT_EQ(service.Hits().size(), 1u);
    const httplib::Params expected{
        {"q", source}, {"source", "en"}, {"target", "zh"}, {"format", "text"}};
    EXPECT_EQ(service.Hits()[0].form, expected);
    EXPECT_EQ(server->Stop(SIGTERM), 0);
    EXPECT_NE(server->Stderr().find("\"GET /public/2.0/bmt/translate?"), std::string::npos)
        << "the access log is on without --quiet";
}

// The stand-ins answer a canned translation only for the text where each service takes
// it, so that a right answer shows the text went there.
TEST(ServerOptions, ChatServiceTranslatesWithTheGlossarysTermsAndNeverTwiceTheSameText) {
    TempDir dir;
    const std::string index = EmptyIndex(dir);
    const std::string glossary =
        dir.Write("g.tsv", "heart failure\t心力衰竭\nejection fraction\t射血分数\n");
    test::TranslationStandIn service;
    const std::string source =
        "Heart failure with reduced ejection fraction was seen in 71.2% of 5 patients.";
    const std::string chinese = "5名患者中有71.2%出现射血分数降低的心力衰竭。";
    service.Translate(source, chinese);
    const std::string dose = "Heart failure worsened at doses of 4.3 mg in 12 patients.";
    service.Translate(dose, "12名患者在3.4毫克剂量下心力衰竭加重。");
    const std::vector<std::string> options = {"--translate-backend", service.ChatBase(),
                                              "--translate-model",   "qwen2.5:7b",
                                              "--glossary",          glossary};
    std::unique_ptr<Process> server;
    const int port = Serve(server, index, options, dir.File("chat.log"), "sk-test-4f9a0c");
    ASSERT_GT(port, 0) << server->Stderr();

    EXPECT_EQ(TranslateThrough(port, source, dir), chinese);
    std::vector<test::TranslationStandIn::Hit> hits = service.Hits();
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].authorization, "Bearer sk-test-4f9a0c");
    EXPECT_EQ(server::JsonPath(hits[0].body, {"model"}), "qwen2.5:7b");
    // A faithful translation, the same each time it is asked for.
    EXPECT_NE(hits[0].body.find("\"temperature\":0,"), std::string::npos) << hits[0].body;
    const std::string system =
        server::JsonPath(hits[0].body, {"messages", 0, "content"}).value_or("");
    EXPECT_NE(system.find("ejection fraction = 射血分数"), std::string::npos) << system;

    // A translation that loses a dose is withheld, the glossary's rendering in its place.
    EXPECT_EQ(TranslateThrough(port, dose, dir),
              "Machine translation withheld: openai:qwen2.5:7b changed a number of the "
              "text (4.3 not in its translation). The term glossary instead:\n"
              "Heart failure（心力衰竭）worsened at doses of 4.3 mg in 12 patients.");

    // A long text goes in pieces cut within the service's limit, and comes back joined.
    std::string longText;
    for (int n = 1; longText.size() < 4500; ++n)
        longText += "Sentence " + std::to_string(n) + " reports the outcome of the trial. ";
    longText.pop_back();
    const std::optional<std::string> joined = TranslateThrough(port, longText, dir);
    hits = service.Hits();
    ASSERT_EQ(hits.size(), 4u);
    const auto piece = [&](std::size_t h) {
        return server::JsonPath(hits[h].body, {"messages", 1, "content"}).value_or("");
    };
    EXPECT_EQ(piece(2) + " " + piece(3), longText);
    EXPECT_EQ(joined, "[" + piece(2) + "] [" + piece(3) + "]");

    EXPECT_EQ(server->Stop(SIGTERM), 0);
    const std::string log = server->Stderr();
    EXPECT_NE(log.find("changed a number of a text (4.3 missing): translation withheld"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("sk-test-4f9a0c"), std::string::npos) << "the key stays out of the log";

    // Offline, texts translated before are answered from the cache kept beside the index,
    // so that no text goes to the service twice.
    std::unique_ptr<Process> offline;
    const int offlinePort =
        Serve(offline, index,
              {"--translate-backend",
               "openai:http://127.0.0.1:" + std::to_string(test::ClosedPort()) + "/v1",
               "--translate-model", "qwen2.5:7b"},
              dir.File("offline.log"));
    ASSERT_GT(offlinePort, 0) << offline->Stderr();
    EXPECT_EQ(TranslateThrough(offlinePort, source, dir), chinese);
}

TEST(ServerOptions, DeepLTakesTheTextWithItsTermsAndABusyServiceIsAskedOnceMore) {
    TempDir dir;
    test::TranslationStandIn service;
    const std::string source = "Heart failure is common.";
    service.Translate(source, "心力衰竭很常见。");
    std::unique_ptr<Process> server;
    const int port = Serve(server, EmptyIndex(dir),
                           {"--translate-backend", service.DeepLBase(), "--glossary",
                            dir.Write("g.tsv", "heart failure\t心力衰竭\n")},
                           dir.File("deepl.log"), "0b1c2d3e-key:fx");
    ASSERT_GT(port, 0) << server->Stderr();

    // Too many requests: asked again after the pause the service names, here none (a
    // second when it names none).
    service.Fail({429});
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(TranslateThrough(port, source, dir), "心力衰竭很常见。");
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
    const std::vector<test::TranslationStandIn::Hit> hits = service.Hits();
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[1].body, hits[0].body);
    EXPECT_EQ(hits[1].authorization, "DeepL-Auth-Key 0b1c2d3e-key:fx");
    // ZH alone is DeepL's older, unspecified Chinese.
    EXPECT_EQ(server::JsonPath(hits[1].body, {"target_lang"}), "ZH-HANS");
    const std::string context = server::JsonPath(hits[1].body, {"context"}).value_or("");
    EXPECT_NE(context.find("heart failure = 心力衰竭"), std::string::npos) << hits[1].body;

    // A service that fails twice is an error the program shows.
    service.Fail({503, 503});
    EXPECT_EQ(TranslateThrough(port, "Another text.", dir), std::nullopt);
    EXPECT_EQ(service.Hits().size(), 4u);
    EXPECT_EQ(server->Stop(SIGTERM), 0);
    EXPECT_NE(server->Stderr().find("deepl did not translate: status 503"), std::string::npos)
        << server->Stderr();
    EXPECT_EQ(server->Stderr().find("0b1c2d3e"), std::string::npos);
}

// A file of two records, one of which cannot be indexed (line 4).
std::string WithSkippedRecord(const TempDir& dir) {
    return dir.Write("bad.xml",
                     "<?xml version=\"1.0\"?>\n<PubmedArticleSet>\n" + test::RecordXml({2, "Two"}) +
                         "<PubmedArticle><MedlineCitation><PMID>x1</PMID></MedlineCitation>"
                         "</PubmedArticle>\n</PubmedArticleSet>\n");
}

// A file that cannot be read fails the import, but what the others held is committed and
// served.
TEST(ServerOptions, ImportProgressIsWholeLinesInALogAndOneLineOnATerminal) {
    TempDir dir;
    ASSERT_EQ(RunToEnd({kServer, "sample", "--count", "30", "--out", dir.File("s.xml")},
                       dir.File("s.log")),
              0);
    const std::string index = dir.File("i.sqlite");
    const std::string command = kServer + " import --index " + index + " " + dir.File("s.xml") +
                                " " + WithSkippedRecord(dir) + " " + dir.File("missing.xml");

    const auto [log, status] = Output(command + " 2>&1");
    EXPECT_EQ(status, 1) << "a file that cannot be read fails the import";
    EXPECT_EQ(log.find('\r'), std::string::npos) << log;
    EXPECT_TRUE(HasLine(log, dir.File("bad.xml") + ":4: record skipped: bad PMID\n")) << log;
    EXPECT_TRUE(HasLine(log, dir.File("missing.xml") + ": cannot open")) << log;
    const std::string last = log.substr(log.rfind('\n', log.size() - 2) + 1);
    EXPECT_EQ(last.rfind("import done: 31 records in ", 0), 0u) << last;
    EXPECT_NE(last.find(", 1 skipped, 2 of 3 files read, 1 failed\n"), std::string::npos) << last;

    // On a terminal (script(1) gives it one) the line is rewritten in place, and a problem
    // still has its own line.
    const auto [screen, onTerminal] = Output("script -qec '" + command + "' /dev/null");
    EXPECT_EQ(onTerminal, 1);
    EXPECT_NE(screen.find("\rimport done: 31 records in "), std::string::npos) << screen;
    EXPECT_TRUE(HasLine(screen, dir.File("bad.xml") + ":4: record skipped")) << screen;

    // The workers the log names are two a core without --threads; SIGINT stops the server
    // as SIGTERM does.
    std::unique_ptr<Process> server;
    const int port = Serve(server, index, {}, dir.File("serve.log"));
    ASSERT_GT(port, 0) << server->Stderr();
    const std::string workers =
        std::to_string(2 * std::max(1u, std::thread::hardware_concurrency()));
    EXPECT_NE(server->Stderr().find("(" + workers + " threads, "), std::string::npos)
        << server->Stderr();
    const auto start = test::Get(port, "/");
    ASSERT_TRUE(start);
    EXPECT_NE(start->body.find("31 records"), std::string::npos);
    // With no engine named, the glossary built beside the program answers.
    EXPECT_EQ(TranslateThrough(port, "Heart failure.", dir), "Heart failure（心力衰竭）.");
    EXPECT_EQ(server->Stop(SIGINT), 0);
    EXPECT_NE(server->Stderr().find("tamix-server: stopped"), std::string::npos);
}

} // namespace
} // namespace tamix
