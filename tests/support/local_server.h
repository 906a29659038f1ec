// tamix-server's HTTP server in this process, over an index of the given record files, on a
// loopback port the system picks; optionally the program's own downloads pointed at it.
#pragma once

#include "pubmed/download.h"
#include "server/web/http.h"
#include "support/pubmed_fixture.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tamix::test {

class LocalServer {
public:
    // files: name and text of each record file, imported in this order.
    LocalServer(server::ServeOptions options,
                const std::vector<std::pair<std::string, std::string>>& files) {
        options.index = dir_.File("index.sqlite");
        options.port = 0;
        options.accessLog = false;
        std::vector<std::string> paths;
        for (const auto& [name, text] : files)
            paths.push_back(dir_.Write(name, text));
        EXPECT_EQ(ImportFiles(options.index, paths), std::vector<std::string>{});
        index_ = options.index;
        server_ = std::make_unique<server::HttpServer>(options);
        port_ = server_->Bind();
        EXPECT_GT(port_, 0);
        thread_ = std::thread([this] { ran_ = server_->Run(); });
    }
    ~LocalServer() {
        EXPECT_TRUE(Stop());
        if (!variable_.empty()) unsetenv(variable_.c_str());
    }
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;

    // Run()'s result, once it has returned.
    bool Stop() {
        if (thread_.joinable()) {
            server_->Stop();
            thread_.join();
        }
        return ran_;
    }

    // Sets the program's host variable (kPubmedHostVariable, kTranslateHostVariable) to
    // this server until it is destroyed.
    void PointProgramAt(const char* variable) {
        variable_ = variable;
        setenv(variable, ("127.0.0.1:" + std::to_string(port_)).c_str(), 1);
    }

    int port() const { return port_; }
    const std::string& index() const { return index_; }
    const TempDir& dir() const { return dir_; }
    std::string Url(const std::string& target) const {
        return "http://127.0.0.1:" + std::to_string(port_) + target;
    }

    httplib::Result Get(const std::string& target) const {
        httplib::Client client("127.0.0.1", port_);
        return client.Get(target);
    }
    // The status, or -1 when no answer came.
    int Status(const std::string& target) const {
        const auto res = Get(target);
        return res ? res->status : -1;
    }
    // Downloads like the program does; "<failed>" when the download fails.
    std::string Fetch(const std::string& address) const {
        const std::string file = dir_.File("download.tmp");
        return DownloadToFile(address, file) ? ReadScratchFile(file) : std::string("<failed>");
    }

private:
    TempDir dir_;
    std::string index_;
    std::string variable_;
    std::unique_ptr<server::HttpServer> server_;
    std::thread thread_;
    int port_ = 0;
    bool ran_ = false;
};

} // namespace tamix::test
