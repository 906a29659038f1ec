// Throughput of the text unit on 500,000-byte pages, the largest a read-back holds.
#include "median_report.h"
#include "pubmed/articlepage.h"
#include "pubmed/resultpage.h"
#include "pubmed/text.h"

#include <cstdio>

namespace {

constexpr std::size_t kPageBytes = 500000;

// Markup-heavy text: tags, entities, non-ASCII letters, line breaks.
std::string Filler(std::size_t bytes) {
    static const std::string chunk =
        "<div class=\"au\"><p>M\xC3\xBCller J, Zhang &amp; Li W.</p><span>Heart failure with "
        "preserved ejection fraction &lt;HFpEF&gt; in 1,234 patients</span></div>\n";
    std::string text;
    while (text.size() + chunk.size() <= bytes)
        text += chunk;
    text.append(bytes - text.size(), ' ');
    return text;
}

// Ten items spread over the whole page, so every search crosses a tenth of it.
std::string ResultPage() {
    std::string page = "<html><head><title>PubMed Mobile</title></head><body><ul class=\"r\">";
    const std::size_t itemBytes = 120;
    const std::size_t gap = (kPageBytes - page.size() - 10 * itemBytes - 200) / 10;
    for (int i = 0; i < 10; ++i) {
        page += Filler(gap);
        std::string item = "<a href=\"./" + std::to_string(30000000 + i) +
                           "\"><span>A randomized trial of item " + std::to_string(i) +
                           "</span></a>";
        item.append(itemBytes - item.size(), ' ');
        page += item;
    }
    page += "<div class=\"pag\">Page 1 of 1,000</div></body></html>";
    page.append(kPageBytes - page.size(), ' ');
    return page;
}

std::string ArticlePage() {
    std::string page = "<html><body><h2 class=\"title\">A title</h2>";
    const std::string tail = "<p>PMID: 00012345</p><a class=\"ft\" href=\"http://doi.org/10.1/x\">"
                             "Full text</a></body></html>";
    page += Filler(kPageBytes - page.size() - tail.size());
    page += tail;
    return page;
}

void BM_ParseResultPage(benchmark::State& state) {
    const std::string page = ResultPage();
    tamix::CArticleRecord record;
    for (auto _ : state) {
        tamix::ParseResultPage(page, tamix::kServerMarkers, record);
        benchmark::DoNotOptimize(record.m_nCount);
    }
    if (record.m_nCount != 10) state.SkipWithError("the page did not parse into ten items");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}

void BM_ExtractArticle(benchmark::State& state) {
    const std::string page = ArticlePage();
    for (auto _ : state) {
        tamix::ArticleText text = tamix::ExtractArticle(page, "00012345");
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}

void BM_StripTags(benchmark::State& state) {
    const std::string page = ArticlePage();
    for (auto _ : state)
        benchmark::DoNotOptimize(tamix::StripTags(page));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}

// An abstract dense with what the reduction spells: names, Greek, doses, symbols.
void BM_ReduceToAsciiSpelled(benchmark::State& state) {
    const std::string chunk = "Hern\u00e1ndez, S\u00f8ren M\u00fcller: patients \u226565 y got 5 "
                              "\u03bcg/kg of a \u03b2-blocker; SBP 71.2 \u00b1 4.3 at 37 \u00b0C, "
                              "\u2248 2.5\u00d710\u2079/L \u2013 \u201cTNF-\u03b1\u201d\u2026 ";
    std::string text;
    while (text.size() + chunk.size() <= kPageBytes)
        text += chunk;
    for (auto _ : state)
        benchmark::DoNotOptimize(tamix::ReduceToAscii(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

BENCHMARK(BM_ParseResultPage)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_ExtractArticle)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_StripTags)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(BM_ReduceToAsciiSpelled)->Repetitions(7)->ReportAggregatesOnly(true);

} // namespace

int main(int argc, char** argv) {
    tamix::bench::MedianReporter reporter;
    tamix::bench::RunAll(argc, argv, reporter);
    std::printf("\nMedians over 7 repetitions, 500,000-byte pages:\n");
    for (const char* name :
         {"BM_ParseResultPage", "BM_ExtractArticle", "BM_StripTags", "BM_ReduceToAsciiSpelled"}) {
        if (!reporter.medians.count(name)) continue;
        std::printf("  %-22s %8.0f MB/s\n", name + 3,
                    reporter.Counter(name, "bytes_per_second") / 1e6);
    }
    return 0;
}
