// tamix-server: import PubMed records into an index, write a sample corpus, serve.
#include "server/index/importer.h"
#include "server/records/sample.h"
#include "server/web/http.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace tamix::server;

constexpr const char* kUsage =
    "usage:\n"
    "  tamix-server import --index FILE RECORDS...   PubMed XML or MEDLINE text, plain or .gz\n"
    "  tamix-server sample --count N [--out FILE]    synthetic PubMed XML (default: stdout)\n"
    "  tamix-server serve --index FILE [--listen HOST:PORT] [--threads N] [--quiet]\n"
    "                     [--glossary FILE | --translate-backend URL]\n"
    "      default listen address 127.0.0.1:8790; --threads: requests answered at once\n"
    "      (default: two a core; connections wait on one event loop and need no thread);\n"
    "      the translation endpoint uses the term glossary built beside the program, or\n"
    "      forwards to a LibreTranslate-compatible URL\n";

// A whole number from 1; anything else is a usage error.
int PositiveNumber(const std::string& option, const std::string& text) {
    if (text.empty() || text.size() > 6 ||
        text.find_first_not_of("0123456789") != std::string::npos || std::stoi(text) < 1)
        throw std::invalid_argument(option + " takes a number from 1");
    return std::stoi(text);
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "tamix-server: %s\n%s", message.c_str(), kUsage);
    return 2;
}

int Import(const std::string& index, const std::vector<std::string>& files) {
    ImportObserver observer;
    observer.onProgress = [&](const ImportStats& s, bool final) {
        std::fprintf(stderr, "\r%ld records (%.0f/s), %ld deleted, %ld skipped, %zu of %zu files%s",
                     s.records, s.seconds > 0 ? s.records / s.seconds : 0.0, s.deletions, s.skipped,
                     s.filesDone, files.size(), final ? "\n" : "");
    };
    observer.onProblem = [](const std::string& message) {
        std::fprintf(stderr, "\n%s\n", message.c_str());
    };
    const ImportStats stats = ImportFiles(index, files, observer);
    return stats.filesFailed == 0 ? 0 : 1;
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

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    const std::string command = argv[1];
    std::string index, out, listen = "127.0.0.1:8790", glossary, backend;
    int count = -1, threads = 0;
    bool quiet = false;
    std::vector<std::string> files;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
            return argv[++i];
        };
        try {
            if (arg == "--index")
                index = value();
            else if (arg == "--out")
                out = value();
            else if (arg == "--listen")
                listen = value();
            else if (arg == "--count")
                count = std::stoi(value());
            else if (arg == "--threads")
                threads = PositiveNumber(arg, value());
            else if (arg == "--glossary")
                glossary = value();
            else if (arg == "--translate-backend")
                backend = value();
            else if (arg == "--quiet")
                quiet = true;
            else if (arg.rfind("--", 0) == 0)
                return UsageError("unknown option " + arg);
            else
                files.push_back(arg);
        } catch (const std::exception& e) {
            return UsageError(std::string("bad arguments: ") + e.what());
        }
    }

    try {
        if (command == "import") {
            if (index.empty() || files.empty()) return UsageError("import needs --index and files");
            return Import(index, files);
        }
        if (command == "sample") {
            if (count < 0 || !files.empty()) return UsageError("sample needs --count N");
            return Sample(count, out);
        }
        if (command == "serve") {
            ServeOptions options;
            options.index = index;
            options.threads = threads;
            options.accessLog = !quiet;
            options.translateBackend = backend;
            options.glossary = glossary.empty() && backend.empty() ? DefaultGlossary() : glossary;
            if (options.glossary.empty() && backend.empty())
                std::fprintf(
                    stderr, "tamix-server: no glossary found; translation answers with an error\n");
            if (index.empty() || !files.empty()) return UsageError("serve needs --index");
            if (!glossary.empty() && !backend.empty())
                return UsageError("serve takes --glossary or --translate-backend, not both");
            if (!ParseListenAddress(listen, options.host, options.port))
                return UsageError("--listen takes HOST:PORT");
            return Serve(options);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tamix-server: %s\n", e.what());
        return 1;
    }
    return UsageError("unknown command " + command);
}
