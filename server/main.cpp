// tamix-server: import PubMed records into an index, write a sample corpus, serve, mirror.
#include "server/index/importer.h"
#include "server/index/index.h"
#include "server/index/lock.h"
#include "server/records/sample.h"
#include "server/translate/services.h"
#include "server/upstream/mirror.h"
#include "server/web/http.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace tamix::server;

constexpr const char* kUsage =
    "usage:\n"
    "  tamix-server --help                           this text\n"
    "  tamix-server import --index FILE RECORDS...   PubMed XML or MEDLINE text, plain or .gz;\n"
    "                                                - reads standard input\n"
    "  tamix-server sample --count N [--out FILE]    synthetic PubMed XML (default: stdout)\n"
    "  tamix-server serve --index FILE [--listen HOST:PORT] [--threads N] [--quiet]\n"
    "                     [--glossary FILE] [--translate-backend SERVICE [--translate-model NAME]]\n"
    "                     [--eutils BASE [--api-key KEY] [--email ADDRESS]]\n"
    "      default listen address 127.0.0.1:8790; --threads: requests answered at once\n"
    "      (default: two a core; connections wait on one event loop and need no thread);\n"
    "      the translation endpoint uses the term glossary FILE, else the one beside the\n"
    "      program or in its ../share/tamix; --translate-backend: a machine translation\n"
    "      service instead, steered by the glossary's terms, its answers kept in\n"
    "      FILE.translations: URL (LibreTranslate), openai:URL with --translate-model (a chat\n"
    "      service, URL such as https://HOST/v1) or deepl:URL (https://api.deepl.com); its\n"
    "      key comes from TAMIX_TRANSLATE_KEY in the environment\n"
    "      --eutils: a gateway to PubMed, searching through NCBI's E-utilities at BASE\n"
    "      (https://eutils.ncbi.nlm.nih.gov/entrez/eutils/) and keeping the records fetched\n"
    "      in FILE (made when missing); the API key comes\n"
    "      from --api-key, else from NCBI_API_KEY in the environment\n"
    "  tamix-server mirror --index FILE [--from URL] [--files DIR] [--keep]\n"
    "      imports NLM's PubMed baseline and update files not yet in FILE, in order, each\n"
    "      checked against its MD5; default URL https://ftp.ncbi.nlm.nih.gov/pubmed/,\n"
    "      downloads in DIR (default FILE.downloads), deleted after import unless --keep;\n"
    "      exit status 3: NLM has published a new year's baseline (the message says what to do)\n";

int UsageError(const std::string& message) {
    std::fprintf(stderr, "tamix-server: %s\n%s", message.c_str(), kUsage);
    return 2;
}

// On a terminal the progress is one line rewritten in place; anywhere else (a log file,
// a pipe) a carriage return would make the log one endless line, so whole lines go out
// every few seconds instead. Problems are whole lines in both cases.
class ImportProgress {
public:
    explicit ImportProgress(std::size_t files)
        : files_(files), terminal_(isatty(STDERR_FILENO) == 1) {}

    void Progress(const ImportStats& s, bool final) {
        const double rate = s.seconds > 0 ? s.records / s.seconds : 0.0;
        char text[256];
        if (final) {
            std::snprintf(text, sizeof text,
                          "import done: %ld records in %.1f s (%.0f/s), %ld deleted, %ld "
                          "skipped, %zu of %zu files read, %zu failed",
                          s.records, s.seconds, rate, s.deletions, s.skipped,
                          s.filesDone - s.filesFailed, files_, s.filesFailed);
        } else {
            if (!terminal_ && s.seconds - lastLine_ < kLogInterval) return;
            lastLine_ = s.seconds;
            std::snprintf(text, sizeof text,
                          "%ld records (%.0f/s), %ld deleted, %ld skipped, %zu of %zu files",
                          s.records, rate, s.deletions, s.skipped, s.filesDone, files_);
        }
        if (!terminal_) {
            std::fprintf(stderr, "%s\n", text);
            return;
        }
        // Spaces cover what is left of a longer previous line.
        const int width = static_cast<int>(std::strlen(text));
        std::fprintf(stderr, "\r%-*s%s", std::max(width, shown_), text, final ? "\n" : "");
        shown_ = final ? 0 : width;
    }

    void Problem(const std::string& message) {
        if (shown_ > 0) std::fputc('\n', stderr);
        shown_ = 0;
        std::fprintf(stderr, "%s\n", message.c_str());
    }

private:
    static constexpr double kLogInterval = 5.0;
    std::size_t files_;
    bool terminal_;
    int shown_ = 0; // width of the open terminal line, 0 when none is open
    double lastLine_ = 0;
};

int Import(const std::string& index, const std::vector<std::string>& files) {
    if (const std::string problem = IndexFileProblem(index, true); !problem.empty()) {
        std::fprintf(stderr, "tamix-server: cannot import into %s: %s\n", index.c_str(),
                     problem.c_str());
        return 1;
    }
    ImportProgress progress(files.size());
    ImportObserver observer;
    observer.onProgress = [&](const ImportStats& s, bool final) { progress.Progress(s, final); };
    observer.onProblem = [&](const std::string& message) { progress.Problem(message); };
    try {
        const ImportStats stats = ImportFiles(index, files, observer);
        return stats.filesFailed == 0 ? 0 : 1;
    } catch (const SqliteError& e) {
        const std::string why =
            e.NoSpace() ? "no space left (the disk is full or the file size limit is reached)"
                        : e.what();
        progress.Problem("tamix-server: cannot write the index " + index + ": " + why +
                         "; the records committed before stay in it");
        return 1;
    }
}

int Sample(int count, const std::string& out) {
    if (out.empty()) {
        std::ios::sync_with_stdio(false);
        WriteSampleCorpus(std::cout, count);
        std::cout.flush();
        return std::cout ? 0 : 1;
    }
    std::ofstream file(out, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "tamix-server: cannot write %s\n", out.c_str());
        return 1;
    }
    WriteSampleCorpus(file, count);
    file.close();
    return file ? 0 : 1;
}

// The glossary the build puts beside the program, or the installed one.
std::string DefaultGlossary() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    const std::string dir =
        std::string(self, static_cast<std::size_t>(n))
            .substr(0, std::string(self, static_cast<std::size_t>(n)).rfind('/'));
    for (const std::string& candidate :
         {dir + "/tamix-glossary.tsv", dir + "/../share/tamix/tamix-glossary.tsv"}) {
        if (access(candidate.c_str(), R_OK) == 0) return candidate;
    }
    return {};
}

int Serve(ServeOptions options) {
    // SIGTERM and SIGINT are taken by one thread that stops the server; every other
    // thread (the pool included) inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    KeepSearchMemory();

    HttpServer server(options);
    const int port = server.Bind();
    if (port <= 0) {
        std::fprintf(stderr, "tamix-server: cannot listen on %s:%d\n", options.host.c_str(),
                     options.port);
        return 1;
    }
    std::fprintf(stderr, "tamix-server: serving %s on http://%s:%d/ (%d threads, %d connections)\n",
                 options.index.c_str(), options.host.c_str(), port, server.Workers(),
                 server.MaxConnections());
    if (!options.eutils.empty())
        std::fprintf(stderr,
                     "tamix-server: a gateway to PubMed through %s (%s, %d requests a second)\n",
                     options.eutils.c_str(), options.apiKey.empty() ? "no API key" : "API key",
                     options.apiKey.empty() ? 3 : 10);
    std::fflush(stderr);

    std::atomic<bool> done{false};
    std::thread waiter([&] {
        const timespec step{0, 200 * 1000 * 1000};
        while (!done) {
            if (sigtimedwait(&stopSignals, nullptr, &step) > 0) {
                server.Stop();
                return;
            }
        }
    });
    const bool ok = server.Run();
    done = true;
    waiter.join();
    std::fprintf(stderr, "tamix-server: stopped\n");
    return ok ? 0 : 1;
}

// An option and the commands that take it; options of another command are refused
// rather than ignored, so a misplaced option never goes unnoticed.
struct OptionRule {
    const char* name;
    bool takesValue;
    std::vector<std::string> commands;
};

const std::vector<OptionRule> kOptions = {
    {"--index", true, {"import", "serve", "mirror"}},
    {"--count", true, {"sample"}},
    {"--out", true, {"sample"}},
    {"--listen", true, {"serve"}},
    {"--threads", true, {"serve"}},
    {"--quiet", false, {"serve"}},
    {"--glossary", true, {"serve"}},
    {"--translate-backend", true, {"serve"}},
    {"--translate-model", true, {"serve"}},
    {"--eutils", true, {"serve"}},
    {"--api-key", true, {"serve"}},
    {"--email", true, {"serve"}},
    {"--from", true, {"mirror"}},
    {"--files", true, {"mirror"}},
    {"--keep", false, {"mirror"}},
};

// A whole decimal number, no sign, no trailing text.
bool ParseCount(const std::string& text, int& value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    value = std::stoi(text);
    return true;
}

// "http://HOST[:PORT][/PATH]" or https; anything else would fail on every request.
bool ValidBackendUrl(const std::string& url) {
    const std::size_t marker = url.find("://");
    if (marker == std::string::npos) return false;
    const std::string scheme = url.substr(0, marker + 3);
    if (scheme != "http://" && scheme != "https://") return false;
    const std::size_t slash = url.find('/', scheme.size());
    const std::string authority = url.substr(
        scheme.size(), slash == std::string::npos ? std::string::npos : slash - scheme.size());
    const std::size_t colon = authority.rfind(':');
    if (authority.empty() || colon == 0) return false;
    if (colon == std::string::npos) return true;
    int port = 0;
    return ParseCount(authority.substr(colon + 1), port) && port > 0 && port <= 65535;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    const std::string command = argv[1];
    if (command != "import" && command != "sample" && command != "serve" && command != "mirror")
        return UsageError("unknown command " + command);

    std::map<std::string, std::string> given;
    std::vector<std::string> files;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            files.push_back(arg);
            continue;
        }
        const auto rule = std::find_if(kOptions.begin(), kOptions.end(),
                                       [&](const OptionRule& r) { return arg == r.name; });
        if (rule == kOptions.end()) return UsageError("unknown option " + arg);
        if (std::find(rule->commands.begin(), rule->commands.end(), command) ==
            rule->commands.end())
            return UsageError(arg + " is not an option of " + command);
        if (rule->takesValue && i + 1 >= argc) return UsageError(arg + " needs a value");
        given[arg] = rule->takesValue ? argv[++i] : "";
    }
    const auto option = [&](const char* name, const std::string& fallback = {}) {
        const auto found = given.find(name);
        return found == given.end() ? fallback : found->second;
    };

    try {
        if (command == "import") {
            if (!given.count("--index") || files.empty())
                return UsageError("import needs --index and files");
            return Import(option("--index"), files);
        }
        if (command == "sample") {
            int count = 0;
            if (!files.empty() || !ParseCount(option("--count"), count))
                return UsageError("sample needs --count N");
            return Sample(count, option("--out"));
        }
        if (command == "mirror") {
            if (!given.count("--index") || !files.empty()) return UsageError("mirror needs --index");
            return tamix::upstream::RunMirror({option("--index"),
                                              option("--from", tamix::upstream::kNlmPubmed),
                                              option("--files"), given.count("--keep") > 0});
        }

        ServeOptions options;
        if (!given.count("--index") || !files.empty()) return UsageError("serve needs --index");
        options.index = option("--index");
        if (!ParseListenAddress(option("--listen", "127.0.0.1:8790"), options.host, options.port))
            return UsageError("--listen takes HOST:PORT");
        int threads = options.threads;
        if (given.count("--threads") && (!ParseCount(option("--threads"), threads) || threads < 1))
            return UsageError("--threads takes a number of 1 or more");
        options.threads = threads;
        options.accessLog = !given.count("--quiet");

        // A service translates when one is named, steered by the glossary; else the glossary
        // does. The key never goes on a command line, where any user sees it.
        if (given.count("--translate-backend")) {
            options.translateBackend = option("--translate-backend");
            TranslationService service;
            const std::string problem = ParseTranslationService(options.translateBackend, service);
            if (!problem.empty() || !ValidBackendUrl(service.base))
                return UsageError("--translate-backend takes URL, openai:URL or deepl:URL, the URL "
                                  "http[s]://HOST[:PORT][/PATH]");
            if (service.kind == TranslationService::Chat && !given.count("--translate-model"))
                return UsageError("--translate-backend openai:URL needs --translate-model NAME");
            if (service.kind != TranslationService::Chat && given.count("--translate-model"))
                return UsageError("--translate-model goes with --translate-backend openai:URL");
            options.translateModel = option("--translate-model");
            const char* key = std::getenv("TAMIX_TRANSLATE_KEY");
            options.translateKey = key ? key : "";
            if (service.kind == TranslationService::DeepL && options.translateKey.empty())
                return UsageError("--translate-backend deepl:URL needs the key in "
                                  "TAMIX_TRANSLATE_KEY");
            options.translationCache = option("--index") + ".translations";
        } else if (given.count("--translate-model")) {
            return UsageError("--translate-model goes with --translate-backend openai:URL");
        }
        if (given.count("--glossary")) {
            options.glossary = option("--glossary");
            // Said before the index is opened, so that a wrong path is the message the user
            // sees, with a status a service manager treats as failure.
            if (access(options.glossary.c_str(), R_OK) != 0) {
                std::fprintf(stderr, "tamix-server: cannot read the glossary %s: %s\n",
                             options.glossary.c_str(), std::strerror(errno));
                return 1;
            }
        } else {
            options.glossary = DefaultGlossary();
            if (options.glossary.empty() && options.translateBackend.empty())
                std::fprintf(
                    stderr, "tamix-server: no glossary found; translation answers with an error\n");
        }
        // The gateway: opt-in, and the key from NCBI's own variable when not given.
        if ((given.count("--api-key") || given.count("--email")) && !given.count("--eutils"))
            return UsageError("--api-key and --email go with --eutils");
        if (given.count("--eutils")) {
            options.eutils = option("--eutils");
            if (!ValidBackendUrl(options.eutils))
                return UsageError("--eutils takes http[s]://HOST[:PORT][/PATH]");
            const char* key = std::getenv("NCBI_API_KEY");
            options.apiKey = option("--api-key", key ? key : "");
            options.email = option("--email");
            if (!IndexFileProblem(options.index, true).empty()) {
                // Reported below, as for any server.
            } else if (access(options.index.c_str(), F_OK) != 0 ||
                       !IndexFileProblem(options.index, false).empty()) {
                // A gateway starts with an empty index, which fills as pages are fetched.
                IndexLock lock(options.index);
                IndexWriter make(options.index);
            }
        }
        if (const std::string problem = IndexFileProblem(options.index, false); !problem.empty()) {
            std::fprintf(stderr, "tamix-server: cannot serve %s: %s\n", options.index.c_str(),
                         problem.c_str());
            return 1;
        }
        return Serve(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tamix-server: %s\n", e.what());
        return 1;
    }
}
