// The browser's wiring, in real windows under Xvfb, against pages served on loopback.
#include "app/tamixapp.h"
#include "pubmed/addresses.h"
#include "pubmed/resultpage.h"
#include "server/web/pages.h"
#include "shell/busyanimation.h"
#include "shell/favorites.h"
#include "shell/mainframe.h"
#include "shell/tamixview.h"
#include "support/gui_support.h"
#include "support/pubmed_fixture.h"
#include "support/test_server.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QToolBar>

#include <atomic>
#include <memory>

using tamix::shell::Command;

class TestMainFrame : public QObject {
    Q_OBJECT

private:
    tamix::test::TestServer server_;
    tamix::test::TempDir dir_;
    std::atomic<bool> released_{false};
    std::string resultPage_;
    std::unique_ptr<tamix::app::CTamixApp> app_;

    QString Url(const std::string& path) const { return QString::fromStdString(server_.Url(path)); }
    tamix::shell::CMainFrame* Frame() const { return app_->MainFrame(); }
    tamix::shell::CTamixView* View() const { return app_->View(); }

    // Starts the browser as the program does, and waits for its first page.
    void Start(const QString& commandLine) {
        QVERIFY(tamix::test::StartApp(app_, dir_.File(""), commandLine));
        QSignalSpy done(View(), &tamix::shell::CTamixView::documentCompleted);
        QVERIFY(done.wait(15000));
    }

    void Navigate(const QString& address) {
        QSignalSpy done(View(), &tamix::shell::CTamixView::documentCompleted);
        View()->Navigate2(address);
        QVERIFY(done.wait(15000));
    }

private slots:
    void initTestCase() {
        auto& routes = server_.routes();
        // One request a connection: an idle kept-alive one would hold the server's stop
        // (and the test's end) for its whole timeout.
        routes.set_keep_alive_max_count(1);
        // The start page, and /page/N titled "Page N".
        routes.Get(R"(/(?:page/(\d+))?)", [](const httplib::Request& req, httplib::Response& res) {
            const std::string title = req.path == "/" ? "Start" : "Page " + req.matches[1].str();
            res.set_content("<html><head><title>" + title +
                                "</title></head><body>page</body></html>",
                            "text/html");
        });
        routes.Get("/slow", [this](const httplib::Request&, httplib::Response& res) {
            for (int i = 0; i < 400 && !released_; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
            res.set_content("<html><head><title>Slow</title></head><body>slow</body></html>",
                            "text/html");
        });
        std::vector<tamix::server::ArticleSummary> items;
        for (int i = 0; i < 4; ++i)
            items.push_back({1000 + i, "Heart <failure> & M\xC3\xBCller " + std::to_string(i),
                             "Smith J", "J Tests", "2020"});
        tamix::server::ResultPageData data;
        data.term = "heart failure";
        data.matches = 37;
        data.items = items;
        resultPage_ = tamix::server::RenderResultPage(data);
        routes.Get("/result", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(resultPage_, "text/html; charset=utf-8");
        });
        server_.Start();
        qputenv(tamix::kPubmedHostVariable,
                ("127.0.0.1:" + std::to_string(server_.port())).c_str());

        // A favourites folder found through the XDG user-dirs file.
        const std::string favorites = dir_.File("favs");
        std::filesystem::create_directories(favorites + "/Sub");
        dir_.Write("favs/Served page.url",
                   "[InternetShortcut]\r\nURL=" + server_.Url("/page/42") + "\r\n");
        dir_.Write("favs/Sub/Another.url",
                   "[InternetShortcut]\nURL=" + server_.Url("/page/43") + "\n");
        dir_.Write("user-dirs.dirs", "XDG_FAVORITES_DIR=\"" + favorites + "\"\n");
    }

    void cleanup() { app_.reset(); }
    void cleanupTestCase() { released_ = true; }

    void startsOnTheCommandLineAddressAndGoesBackOnlyThroughHistory() {
        QCOMPARE(tamix::app::CTamixApp::CommandLineText({"tamix", "a", "b  c"}),
                 QStringLiteral("a b  c"));
        Start(Url("/page/7"));
        QTRY_COMPARE(Frame()->windowTitle(), QStringLiteral("Page 7 - TAMIX"));
        // The caption follows the page's title as a script changes it.
        View()->page()->runJavaScript(QStringLiteral("document.title = 'Changed'"));
        QTRY_COMPARE(Frame()->windowTitle(), QStringLiteral("Changed - TAMIX"));

        QSignalSpy loads(View(), &QWebEngineView::loadStarted);
        Frame()->Action(Command::Back)->trigger();
        QTest::qWait(500);
        QCOMPARE(loads.count(), 0);
        QCOMPARE(View()->url().path(), QStringLiteral("/page/7"));
        Navigate(Url("/page/4"));
        QSignalSpy done(View(), &tamix::shell::CTamixView::documentCompleted);
        Frame()->Action(Command::Back)->trigger();
        QVERIFY(done.wait(15000));
        QCOMPARE(View()->url().path(), QStringLiteral("/page/7"));
    }

    void addressBoxAndAnimationFollowLoads() {
        Start(QString()); // no address: the start page
        QComboBox* box = Frame()->AddressBox();
        QCOMPARE(View()->url(), tamix::shell::CTamixView::StartPage());
        QCOMPARE(box->currentText(), Url("/"));
        for (int round = 1; round <= 2; ++round) {
            QSignalSpy done(View(), &tamix::shell::CTamixView::documentCompleted);
            box->lineEdit()->setText(Url("/page/5"));
            QTest::keyClick(box->lineEdit(), Qt::Key_Return);
            QVERIFY(done.wait(15000));
            QCOMPARE(View()->url().path(), QStringLiteral("/page/5"));
            QCOMPARE(box->count(), round); // the same address twice gives two entries
        }
        Navigate(Url("/page/6"));
        QSignalSpy back(View(), &tamix::shell::CTamixView::documentCompleted);
        emit box->activated(0);
        QVERIFY(back.wait(15000));
        QCOMPARE(View()->url().path(), QStringLiteral("/page/5"));
        box->lineEdit()->setText(QStringLiteral("something typed"));
        Frame()->ShowPageLoaded(QStringLiteral("http://127.0.0.1/loaded"));
        QCOMPARE(box->currentText(), QStringLiteral("http://127.0.0.1/loaded"));
        QCOMPARE(box->count(), 2); // the history is not touched

        // The slow page is held until released_, so that the animation is seen while it loads.
        auto* busy = Frame()->BusyAnimation();
        QVERIFY(!busy->IsPlaying());
        released_ = false;
        QSignalSpy done(View(), &tamix::shell::CTamixView::documentCompleted);
        View()->Navigate2(Url("/slow"));
        QTRY_VERIFY(busy->IsPlaying());
        QTRY_VERIFY(busy->Frame() > 0);
        QVERIFY(done.isEmpty());
        released_ = true;
        QVERIFY(done.wait(15000));
        QVERIFY(!busy->IsPlaying());
        QCOMPARE(busy->Frame(), 0);

        // A navigation the page starts by itself plays it as well.
        Navigate(Url("/"));
        released_ = false;
        QSignalSpy again(View(), &tamix::shell::CTamixView::documentCompleted);
        View()->page()->runJavaScript(QStringLiteral("location.href = '/slow'"));
        QTRY_VERIFY(busy->IsPlaying());
        released_ = true;
        QVERIFY(again.wait(15000));
        QVERIFY(!busy->IsPlaying());
    }

    void viewAndFavouritesMenus() {
        Start(QString());
        Frame()->Action(Command::ViewStatusBar)->trigger();
        QVERIFY(!Frame()->statusBar()->isVisible());
        QVERIFY(Frame()->AddressBox()->isVisible());
        QVERIFY(Frame()->ToolBar()->isVisible());
        Frame()->Action(Command::ViewStatusBar)->trigger();
        QVERIFY(Frame()->statusBar()->isVisible());
        Frame()->Action(Command::ViewToolbar)->trigger();
        QVERIFY(!Frame()->ToolBar()->isVisible());
        QVERIFY(Frame()->AddressBox()->isVisible());

        qreal last = 0;
        for (Command size : {Command::FontSmallest, Command::FontSmaller, Command::FontMedium,
                             Command::FontLarger, Command::FontLargest}) {
            Frame()->Action(size)->trigger();
            QVERIFY2(View()->zoomFactor() > last, "each size larger than the one before");
            last = View()->zoomFactor();
        }
        // The tool bar's pop-up holds the same five commands.
        QCOMPARE(Frame()->FontMenu()->actions().size(), 5);
        Frame()->FontMenu()->actions().at(4)->trigger();
        QCOMPARE(View()->zoomFactor(), tamix::shell::CTamixView::kZoomFactors[0]);

        const QList<QAction*> items = Frame()->FavoritesMenu()->actions();
        QCOMPARE(items.size(), 2);
        QVERIFY(items[0]->menu()); // the sub-folder comes first
        QCOMPARE(items[0]->menu()->title(), QStringLiteral("Sub"));
        QSignalSpy done(View(), &tamix::shell::CTamixView::documentCompleted);
        items[1]->trigger();
        QVERIFY(done.wait(15000));
        QCOMPARE(View()->url().path(), QStringLiteral("/page/42"));
        Frame()->OnFavoriteCommand(tamix::shell::kFavoriteFirst + 2); // one past the last
        Frame()->OnFavoriteCommand(tamix::shell::kFavoriteFirst - 1);
        QTest::qWait(200);
        QCOMPARE(View()->url().path(), QStringLiteral("/page/42"));
    }

    void sourceInTheBrowserFormParsesLikeTheServedPage() {
        Start(Url("/result"));
        // The page names PubMed Mobile, so the article dialog opens on it; close it.
        connect(View(), &tamix::shell::CTamixView::articleDialogOpened, this,
                [](QDialog* dialog) { QTimer::singleShot(0, dialog, &QDialog::reject); });
        std::string source;
        QVERIFY(View()->GetSource(source));
        tamix::CArticleRecord served, browsed;
        tamix::ParseResultPage(resultPage_, tamix::kServerMarkers, served);
        tamix::ParseResultPage(source, tamix::kBrowserMarkers, browsed);
        QCOMPARE(served.m_nCount, 4);
        QCOMPARE(browsed.m_nCount, served.m_nCount);
        QVERIFY(browsed.m_strIds == served.m_strIds);
        QVERIFY(browsed.m_strTitles == served.m_strTitles);
        QCOMPARE(tamix::ParseTotalPages(source), 4);

        // The window going away while the source is awaited is no crash and no source.
        QPointer<tamix::shell::CTamixView> view(View());
        QTimer::singleShot(0, Frame(), [this] { app_.reset(); });
        std::string none;
        QVERIFY(!view->GetSource(none) || !view);
    }
};

QTEST_MAIN(TestMainFrame)
#include "mainframe_test.moc"
