// Child processes for tests: tamix-server itself, nginx. Started with arguments, their
// standard error captured to a file; stopped with a signal and waited for.
#pragma once

#include <httplib.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tamix::test {

class Process {
public:
    // inChild runs in the child just before exec (async-signal-safe calls only).
    Process(const std::vector<std::string>& args, const std::string& stderrFile,
            const std::function<void()>& inChild = {})
        : stderrFile_(stderrFile) {
        pid_ = fork();
        if (pid_ == 0) {
            if (!freopen(stderrFile.c_str(), "w", stderr)) _exit(126);
            if (inChild) inChild();
            std::vector<char*> argv;
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            Wait();
        }
    }

    // Exit status, or 128 + signal.
    int Wait() {
        if (exited_) return status_;
        int raw = 0;
        waitpid(pid_, &raw, 0);
        Ended(raw);
        return status_;
    }
    // False once the process has ended.
    bool Running() {
        if (exited_) return false;
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) == 0) return true;
        Ended(raw);
        return false;
    }
    // Exit status, or -1 (the process killed) when it has not ended within the limit, so
    // that a program that should have refused to start fails a test instead of hanging it.
    int WaitUpTo(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (Running() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (exited_) return status_;
        Stop(SIGKILL);
        return -1;
    }
    int Stop(int signal = SIGTERM) {
        kill(pid_, signal);
        return Wait();
    }
    std::string Stderr() const {
        std::ifstream in(stderrFile_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Waits (up to 10 s) for a line of standard error to match; returns its first group.
    std::string WaitFor(const std::string& pattern) const {
        const std::regex re(pattern);
        for (int i = 0; i < 400; ++i) {
            std::smatch m;
            const std::string text = Stderr();
            if (std::regex_search(text, m, re)) return m.size() > 1 ? m[1].str() : m[0].str();
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return {};
    }
    pid_t pid() const { return pid_; }

private:
    void Ended(int raw) {
        exited_ = true;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }

    std::string stderrFile_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
};

// Runs a command to its end: its exit status, or 128 + signal.
inline int RunToEnd(const std::vector<std::string>& args, const std::string& log,
                    const std::function<void()>& inChild = {}) {
    Process p(args, log, inChild);
    return p.Wait();
}

// `server serve --index index` with the extra options on a free loopback port: the port,
// or -1 when it did not come up. Give each server a log of its own, so that the port read
// is never an earlier server's.
inline int ServeBinary(std::unique_ptr<Process>& process, const std::string& server,
                       const std::string& index, const std::vector<std::string>& extra,
                       const std::string& log, const std::function<void()>& inChild = {}) {
    std::vector<std::string> args{server, "serve", "--index", index, "--listen", "127.0.0.1:0"};
    args.insert(args.end(), extra.begin(), extra.end());
    process = std::make_unique<Process>(args, log, inChild);
    const std::string port = process->WaitFor("on http://127\\.0\\.0\\.1:(\\d+)/");
    return port.empty() ? -1 : std::stoi(port);
}

// A GET with time limits, so that a hung server fails the request instead of the run.
inline httplib::Result Get(int port, const std::string& target, int readSeconds = 10) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(5);
    client.set_read_timeout(readSeconds, 0);
    return client.Get(target);
}

// The status of a GET, or -1 when no answer came.
inline int Status(int port, const std::string& target) {
    const auto res = Get(port, target);
    return res ? res->status : -1;
}

} // namespace tamix::test
