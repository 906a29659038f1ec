// The article dialog: from a row getting the focus to its abstract shown, over the local
// server, median of ten articles; and the same rows again once held, as the baseline.
#include "pubmed/addresses.h"
#include "pubmed/download.h"
#include "dialogs/pubmeditem.h"
#include "pubmed/resultpage.h"
#include "server/web/http.h"
#include "server/records/sample.h"
#include "support/pubmed_fixture.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

namespace {

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    tamix::test::TempDir dir;
    std::ostringstream corpus;
    tamix::server::WriteSampleCorpus(corpus, 2000);
    tamix::test::ImportFiles(dir.File("index.sqlite"), {dir.Write("s.xml", corpus.str())});
    tamix::server::ServeOptions options;
    options.index = dir.File("index.sqlite");
    options.port = 0;
    options.accessLog = false;
    tamix::server::HttpServer server(options);
    const int port = server.Bind();
    std::thread serving([&] { server.Run(); });
    qputenv(tamix::kPubmedHostVariable, "127.0.0.1:" + QByteArray::number(port));
    QDir::setCurrent(QString::fromStdString(dir.File("")));

    std::vector<double> fresh, held;
    for (int round = 0; round < 3; ++round) {
        tamix::CPubmedItem dialog;
        dialog.m_strKeyword = "trial";
        if (!dialog.LoadResultPage(round + 1)) return 1;
        dialog.m_nTotalPages = 100;
        dialog.OnInitDialog();
        dialog.show();
        dialog.activateWindow();
        if (!QTest::qWaitForWindowActive(&dialog)) return 1;
        for (auto* times : {&fresh, &held}) {
            for (int k = 0; k < tamix::CArticleRecord::kItemsPerPage; ++k) {
                dialog.AbstractEdit()->clear();
                const auto start = std::chrono::steady_clock::now();
                dialog.Row(k)->setFocus();
                QCoreApplication::processEvents(); // painted
                const double ms = std::chrono::duration<double, std::milli>(
                                      std::chrono::steady_clock::now() - start)
                                      .count();
                if (dialog.AbstractEdit()->toPlainText().isEmpty()) return 1;
                times->push_back(ms);
            }
        }
    }
    std::printf("Article dialog over the local server (%zu selections each, 3 result pages):\n",
                fresh.size());
    std::printf("  row selected -> abstract shown, downloaded:  median %.2f ms, max %.2f ms\n",
                Median(fresh), *std::max_element(fresh.begin(), fresh.end()));
    std::printf("  row selected -> abstract shown, held:        median %.2f ms (baseline)\n",
                Median(held));
    server.Stop();
    serving.join();
    return 0;
}
