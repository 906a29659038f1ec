// A stand-in of NCBI's E-utilities on a loopback port: esearch.fcgi and efetch.fcgi under
// /entrez/eutils/, answering with the elements of NCBI's XML the gateway reads (NCBI's
// real answers, from python-biopython-doc, are EsearchAnswers'). Searches are canned: a
// term's count and ids. Faults come on demand. It notes every request with its time of
// arrival.
#pragma once

#include "support/test_server.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tamix::test {

class EutilsStandIn {
public:
    using Clock = std::chrono::steady_clock;

    struct Hit {
        Clock::time_point when;
        std::string utility; // "esearch" or "efetch"
        std::multimap<std::string, std::string> params;
        std::string agent; // the User-Agent header
        std::string Param(const std::string& name) const {
            const auto found = params.find(name);
            return found == params.end() ? std::string("<none>") : found->second;
        }
    };

    // An answer given in place of the real one, to the next `times` requests of a term (or,
    // with the term "efetch", of efetch).
    struct Fault {
        int status = 200;
        std::string body;                   // "" with status 200: the real answer, after the delay
        int retryAfter = -1;                // seconds, for a Retry-After header
        std::chrono::milliseconds delay{0}; // cut short when the stand-in goes
        int times = 1;
    };

    EutilsStandIn() {
        for (const std::string utility : {"esearch", "efetch"})
            server_.routes().Get(
                "/entrez/eutils/" + utility + ".fcgi",
                [this, utility](const httplib::Request& req, httplib::Response& res) {
                    Answer(utility, req, res);
                });
        server_.Start();
    }
    // A delayed answer would otherwise hold up the server's stop.
    ~EutilsStandIn() {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        wake_.notify_all();
    }

    std::string Base() const { return server_.Url("/entrez/eutils/"); }
    int port() const { return server_.port(); }

    // Each <PubmedArticle> of a PubmedArticleSet becomes a record efetch can give.
    void AddRecords(const std::string& articleSet) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t at = 0;
        while ((at = articleSet.find("<PubmedArticle>", at)) != std::string::npos) {
            const std::size_t end = articleSet.find("</PubmedArticle>", at);
            const std::string record = articleSet.substr(at, end + 16 - at);
            const std::size_t pmid = record.find('>', record.find("<PMID")) + 1;
            records_[std::stoll(record.substr(pmid))] = record;
            at = end;
        }
    }
    // esearch finds these ids for the term (any order), and counts count.
    void SetSearch(const std::string& term, int count, std::vector<std::int64_t> ids) {
        std::lock_guard<std::mutex> lock(mutex_);
        searches_[term] = {count, std::move(ids)};
    }
    void SetFault(const std::string& term, Fault fault) {
        std::lock_guard<std::mutex> lock(mutex_);
        faults_[term] = std::move(fault);
    }

    std::vector<Hit> Hits() {
        std::lock_guard<std::mutex> lock(mutex_);
        return hits_;
    }
    std::vector<Hit> Hits(const std::string& utility) {
        std::vector<Hit> some;
        for (const Hit& hit : Hits())
            if (hit.utility == utility) some.push_back(hit);
        return some;
    }
    void ClearHits() {
        std::lock_guard<std::mutex> lock(mutex_);
        hits_.clear();
    }

    // What esearch answers a query it cannot run.
    static std::string ErrorAnswer(const std::string& message) {
        return std::string(kHead) + "<eSearchResult>\n\t<ERROR>" + message +
               "</ERROR>\n</eSearchResult>\n";
    }

private:
    static constexpr const char* kHead = "<?xml version=\"1.0\"?>\n";

    void Answer(const std::string& utility, const httplib::Request& req, httplib::Response& res) {
        Hit hit{Clock::now(), utility, {}, req.get_header_value("User-Agent")};
        for (const auto& [name, value] : req.params)
            hit.params.emplace(name, value);
        const std::string key = utility == "efetch" ? "efetch" : hit.Param("term");
        Fault fault;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            hits_.push_back(hit);
            const auto found = faults_.find(key);
            if (found != faults_.end()) {
                fault = found->second;
                if (--found->second.times <= 0) faults_.erase(found);
            }
            wake_.wait_for(lock, fault.delay, [this] { return closing_; });
        }
        if (fault.retryAfter >= 0) res.set_header("Retry-After", std::to_string(fault.retryAfter));
        if (fault.status != 200 || !fault.body.empty()) {
            res.status = fault.status;
            res.set_content(fault.body, "text/xml; charset=UTF-8");
            return;
        }
        res.set_content(utility == "efetch" ? Fetch(hit) : Search(hit), "text/xml; charset=UTF-8");
    }

    std::string Search(const Hit& hit) {
        const int retstart = std::stoi(hit.Param("retstart"));
        const int retmax = std::stoi(hit.Param("retmax"));
        std::lock_guard<std::mutex> lock(mutex_);
        const auto& [count, all] = searches_[hit.Param("term")]; // none: nothing found
        std::string xml = std::string(kHead) + "<eSearchResult>\n\t<Count>" +
                          std::to_string(count) + "</Count>\n\t<IdList>\n";
        for (int i = retstart; i < retstart + retmax && i < static_cast<int>(all.size()); ++i)
            xml += "\t\t<Id>" + std::to_string(all[static_cast<std::size_t>(i)]) + "</Id>\n";
        return xml + "\t</IdList>\n</eSearchResult>\n";
    }

    // The records of the ids it has, in the order asked, as efetch returns them.
    std::string Fetch(const Hit& hit) {
        std::string xml = "<?xml version=\"1.0\" ?>\n<PubmedArticleSet>\n";
        const std::string ids = hit.Param("id");
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t start = 0;
        while (start < ids.size()) {
            const std::size_t comma = std::min(ids.find(',', start), ids.size());
            const auto found = records_.find(std::stoll(ids.substr(start, comma - start)));
            if (found != records_.end()) xml += found->second + "\n";
            start = comma + 1;
        }
        return xml + "</PubmedArticleSet>\n";
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool closing_ = false;
    std::map<std::int64_t, std::string> records_;
    std::map<std::string, std::pair<int, std::vector<std::int64_t>>> searches_;
    std::map<std::string, Fault> faults_;
    std::vector<Hit> hits_;
    // Last, so that it stops before what its handlers use goes away.
    TestServer server_;
};

} // namespace tamix::test
