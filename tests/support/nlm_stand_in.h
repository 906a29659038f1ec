// A stand-in of NLM's PubMed download area on a loopback port: Apache-style index pages of
// /pubmed/baseline/ and /pubmed/updatefiles/, the files, their .md5 files in NLM's form,
// byte ranges (cpp-httplib's own), and faults on demand. It counts what is asked for.
#pragma once

#include "support/test_server.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <openssl/evp.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tamix::test {

inline std::string Gzip(const std::string& data) {
    z_stream z{};
    if (deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

inline std::string Md5Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(data.data(), data.size(), digest, &size, EVP_md5(), nullptr);
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

class NlmStandIn {
public:
    // What happened to one file.
    struct Served {
        int gets = 0;                    // GETs of the file itself
        std::vector<std::string> ranges; // their Range headers ("" when none)
        int md5Gets = 0;
    };

    NlmStandIn() {
        server_.routes().Get(R"(/pubmed/(baseline|updatefiles)/)",
                             [this](const httplib::Request& req, httplib::Response& res) {
                                 res.set_content(Listing(req.matches[1]), "text/html");
                             });
        server_.routes().Get(R"(/pubmed/(baseline|updatefiles)/([^/]+))",
                             [this](const httplib::Request& req, httplib::Response& res) {
                                 Serve(req.matches[1], req.matches[2], req, res);
                             });
        server_.Start();
    }

    std::string Url() const { return server_.Url("/pubmed/"); }

    // Puts a file (already gzip-compressed) into "baseline" or "updatefiles".
    void Add(const std::string& folder, const std::string& name, const std::string& bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        folders_[folder][name] = bytes;
    }
    void Remove(const std::string& folder, const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        folders_[folder].erase(name);
    }
    const std::string& Bytes(const std::string& folder, const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        return folders_.at(folder).at(name);
    }

    // Faults. The next GET of name sends its first `after` bytes, then drops the connection.
    void CutNext(const std::string& name, std::int64_t after) { Set(cut_, name, after); }
    // The .md5 of name gives another checksum (until cleared).
    void WrongMd5(const std::string& name, bool wrong = true) { Set(wrongMd5_, name, wrong); }
    // The next GET of name from its start sends other bytes of the same length.
    void CorruptNext(const std::string& name) { Set(corrupt_, name, true); }
    // Each 16 KiB of name waits this long (0: no wait).
    void Slow(const std::string& name, std::chrono::milliseconds wait) { Set(slow_, name, wait); }

    // Called as a GET of name begins, before anything is sent.
    void OnGet(const std::string& name, std::function<void()> call) { Set(onGet_, name, call); }

    Served Stats(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        return served_[name];
    }

private:
    template <typename Map, typename Value> void Set(Map& map, const std::string& name, Value v) {
        std::lock_guard<std::mutex> lock(mutex_);
        map[name] = v;
    }

    // As Apache's mod_autoindex writes it, less its columns: parent link and README included.
    std::string Listing(const std::string& folder) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string html = "<html><body><h1>Index of /pubmed/" + folder +
                           "</h1>\n<pre><a href=\"/pubmed/\">Parent Directory</a>\n"
                           "<a href=\"README.txt\">README.txt</a>\n";
        for (const auto& [name, bytes] : folders_[folder])
            html += "<a href=\"" + name + "\">" + name + "</a>\n<a href=\"" + name + ".md5\">" +
                    name + ".md5</a>\n";
        return html + "</pre></body></html>\n";
    }

    void Serve(const std::string& folder, const std::string& file, const httplib::Request& req,
               httplib::Response& res) {
        std::unique_lock<std::mutex> lock(mutex_);
        const bool md5 = file.size() > 4 && file.compare(file.size() - 4, 4, ".md5") == 0;
        const std::string name = md5 ? file.substr(0, file.size() - 4) : file;
        const auto found = folders_[folder].find(name);
        if (found == folders_[folder].end()) {
            res.status = 404;
            res.set_content("<html><body><h1>Not Found</h1></body></html>", "text/html");
            return;
        }
        std::string bytes = found->second;
        if (md5) {
            ++served_[name].md5Gets;
            const std::string digest = wrongMd5_[name] ? Md5Hex(bytes + "wrong") : Md5Hex(bytes);
            res.set_content("MD5(" + name + ")= " + digest + "\n", "text/plain");
            return;
        }
        Served& served = served_[name];
        ++served.gets;
        const std::string range = req.get_header_value("Range");
        served.ranges.push_back(range);
        if (range.empty() && corrupt_[name]) {
            corrupt_[name] = false;
            std::reverse(bytes.begin(), bytes.end());
        }
        // As Apache answers a range that starts at or past the end (cpp-httplib does not).
        if (range.rfind("bytes=", 0) == 0 &&
            std::stoll(range.substr(6)) >= static_cast<long long>(bytes.size())) {
            res.status = 416;
            res.set_header("Content-Range", "bytes */" + std::to_string(bytes.size()));
            return; // no body: cpp-httplib would cut it to the range asked for
        }
        const std::int64_t cut = cut_.count(name) ? cut_[name] : -1;
        cut_.erase(name);
        const auto wait = slow_[name];
        const auto call = onGet_[name];
        lock.unlock();
        if (call) call();

        // cpp-httplib applies the Range header to what the provider is asked for.
        auto sent = std::make_shared<std::int64_t>(0);
        res.set_content_provider(bytes.size(), "application/x-gzip",
                                 [bytes, cut, wait, sent](std::size_t offset, std::size_t length,
                                                          httplib::DataSink& sink) {
                                     std::size_t n = std::min<std::size_t>(length, 16384);
                                     if (cut >= 0 && *sent + static_cast<std::int64_t>(n) > cut)
                                         n = static_cast<std::size_t>(cut - *sent);
                                     if (wait.count() > 0) std::this_thread::sleep_for(wait);
                                     *sent += static_cast<std::int64_t>(n);
                                     if (n > 0 && !sink.write(bytes.data() + offset, n))
                                         return false;
                                     return !(cut >= 0 && *sent >= cut);
                                 });
    }

    std::mutex mutex_;
    std::map<std::string, std::map<std::string, std::string>> folders_;
    std::map<std::string, Served> served_;
    std::map<std::string, std::int64_t> cut_;
    std::map<std::string, bool> wrongMd5_, corrupt_;
    std::map<std::string, std::chrono::milliseconds> slow_;
    std::map<std::string, std::function<void()>> onGet_;
    // Last, so that it stops before what its handlers use goes away.
    TestServer server_;
};

} // namespace tamix::test
