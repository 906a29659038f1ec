// One search from end to end: the keyword dialog, the result page in the browser, the
// article dialog over a real tamix-server on a free loopback port, with the real glossary.
// Real windows under Xvfb: what the window system shows in title bars, and the font that
// draws the translation's Chinese, are checked as well as the widgets.
#include "app/tamixapp.h"
#include "dialogs/keyword.h"
#include "dialogs/pubmeditem.h"
#include "pubmed/addresses.h"
#include "server/web/http.h"
#include "shell/mainframe.h"
#include "shell/tamixview.h"
#include "support/gui_support.h"
#include "support/pubmed_fixture.h"
#include "support/test_server.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRawFont>
#include <QSignalSpy>
#include <QTest>
#include <QTextLayout>
#include <QTimer>

#include <functional>
#include <thread>

using tamix::CPubmedItem;
using tamix::shell::Command;
using tamix::test::MessageCatcher;

namespace {

std::vector<tamix::test::Record> Fixture() {
    std::vector<tamix::test::Record> records;
    for (int i = 0; i < 25; ++i)
        records.push_back({1000 + i, "Planarian regeneration study " + std::to_string(i),
                           "<AbstractText Label=\"RESULTS\">Planarian heart failure text " +
                               std::to_string(i) + ".</AbstractText>",
                           2015, 1, 1 + i, "10.1/p" + std::to_string(i)});
    for (int i = 0; i < 12; ++i)
        records.push_back({20000000 + i, "Zebrafish fin " + std::to_string(i), "", 2016});
    // Best Match puts the three oldest (the word in their abstracts too) first.
    for (int i = 0; i < 12; ++i)
        records.push_back({40000000 + i, "Axolotl limb " + std::to_string(i),
                           i < 3 ? "<AbstractText>Axolotl axolotl axolotl.</AbstractText>" : "",
                           2018, 1, 1 + i});
    // Abstracts the glossary turns into whole Chinese sentences.
    for (int i = 0; i < 3; ++i)
        records.push_back({4000 + i, "Heart failure in older adults " + std::to_string(i),
                           "<AbstractText>Heart failure is a common disease with high "
                           "mortality.</AbstractText>",
                           2019, 2, 1 + i, "10.1/hf" + std::to_string(i)});
    return records;
}

// A window's name as another X client (the window manager) reads it: the UTF-8 EWMH
// name and the ICCCM WM_NAME. Defined at the end of the file, after X11's headers.
struct WindowNames {
    QString netWmName;
    QString wmName;
};
WindowNames NamesOf(const QWidget* window);

// The characters of text that font cannot draw, fallback fonts included, as "U+XXXX";
// and the families the text is actually laid out in, with any glyph drawn as a box.
struct Coverage {
    QStringList missing;
    QStringList families;
    bool boxes = false;
};
Coverage CoverageOf(const QFont& font, const QString& text) {
    Coverage coverage;
    const QFontMetrics metrics(font);
    for (const char32_t c : text.toUcs4())
        if (!QChar::isSpace(c) && !metrics.inFontUcs4(c))
            coverage.missing
                << QStringLiteral("U+%1").arg(uint(c), 4, 16, QLatin1Char('0')).toUpper();
    QTextLayout layout(text, font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    for (const QGlyphRun& run : layout.glyphRuns()) {
        coverage.families << run.rawFont().familyName();
        coverage.boxes = coverage.boxes || run.glyphIndexes().contains(0);
    }
    return coverage;
}

} // namespace

class TestPubmed : public QObject {
    Q_OBJECT

private:
    tamix::test::TempDir dir_;
    std::string index_;
    std::unique_ptr<tamix::server::HttpServer> server_;
    std::thread serverThread_;
    std::unique_ptr<tamix::app::CTamixApp> app_;
    tamix::shell::CTamixView* View() const { return app_->View(); }

    void StartServer() {
        tamix::server::ServeOptions options;
        options.index = index_;
        options.port = port_;
        options.accessLog = false;
        options.glossary = TAMIX_GLOSSARY_FILE;
        server_ = std::make_unique<tamix::server::HttpServer>(options);
        port_ = server_->Bind();
        serverThread_ = std::thread([this] { server_->Run(); });
    }
    void StopServer() {
        server_->Stop();
        serverThread_.join();
        server_.reset();
    }
    int port_ = 0;

    // Runs body inside the article dialog that the next page load opens, then closes it
    // if body did not; false when no dialog came.
    bool InArticleDialog(const std::function<void(CPubmedItem*)>& body,
                         const std::function<void()>& trigger) {
        bool ran = false;
        auto connection = std::make_shared<QMetaObject::Connection>();
        *connection = connect(View(), &tamix::shell::CTamixView::articleDialogOpened, this,
                              [&, connection](QDialog* dialog) {
                                  disconnect(*connection);
                                  QTimer::singleShot(0, dialog, [&, dialog] {
                                      auto* item = static_cast<CPubmedItem*>(dialog);
                                      body(item);
                                      ran = true;
                                      if (item->isVisible()) item->reject();
                                  });
                              });
        trigger();
        for (int i = 0; i < 2000 && !ran; ++i)
            QTest::qWait(10);
        return ran;
    }

private slots:
    void initTestCase() {
        index_ = dir_.File("index.sqlite");
        tamix::test::ImportFiles(index_, {dir_.Write("f.xml", tamix::test::ArticleSet(Fixture()))});
        StartServer();
        const QByteArray host = "127.0.0.1:" + QByteArray::number(port_);
        qputenv(tamix::kPubmedHostVariable, host);
        qputenv(tamix::kTranslateHostVariable, host);
        QVERIFY(tamix::test::StartApp(app_, dir_.File(""), QString()));
        // The application's names, which Qt's platform plugin would add to every window's
        // name on screen once it had a display name, are not in it.
        const WindowNames names = NamesOf(app_->MainFrame());
        QCOMPARE(names.netWmName, QStringLiteral("Untitled - TAMIX"));
        QCOMPARE(names.wmName, QStringLiteral("Untitled - TAMIX"));
        QSignalSpy loaded(View(), &tamix::shell::CTamixView::documentCompleted);
        QVERIFY(loaded.wait(20000));
    }

    void cleanupTestCase() {
        app_.reset();
        if (server_) StopServer();
    }

    void oneSearchFromEndToEnd() {
        // The keyword dialog, answered with Enter.
        QTimer::singleShot(0, this, [] {
            QTRY_VERIFY(qobject_cast<tamix::CKeyword*>(QApplication::activeModalWidget()));
            auto* keyword = qobject_cast<tamix::CKeyword*>(QApplication::activeModalWidget());
            QTest::keyClicks(keyword->Edit(), QStringLiteral("planarian  regeneration"));
            QTest::keyClick(keyword->Edit(), Qt::Key_Return);
        });
        QVERIFY(InArticleDialog(
            [this](CPubmedItem* d) {
                QCOMPARE(View()->m_strKeyword, std::string("planarian  regeneration"));
                QTRY_COMPARE(app_->MainFrame()->windowTitle(),
                             QStringLiteral("PubMed Mobile: planarian regeneration - TAMIX"));
                QCOMPARE(d->m_nCount, 10);
                QCOMPARE(d->Row(0)->text(), QStringLiteral("  Planarian regeneration study 24 "));
                QCOMPARE(d->TotalLabel()->text(), QStringLiteral("3"));
                QCOMPARE(d->PageEdit()->text(), QStringLiteral("1"));
                // Focus events need an active window (Xvfb has no window manager to give one).
                d->activateWindow();
                QVERIFY(QTest::qWaitForWindowActive(d));
                QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(d->AboutLink()));
                QVERIFY(d->AbstractEdit()->toPlainText().isEmpty());

                // Focus on a row loads its article; Tab moves on and loads the next.
                d->Row(0)->setFocus();
                QTRY_VERIFY(d->AbstractEdit()->toPlainText().contains(QStringLiteral("text 24.")));
                QCOMPARE(d->LinkEdit()->text(), QStringLiteral("http://doi.org/10.1/p24"));
                QCOMPARE(d->m_linkFullText->GetURL(), QStringLiteral("http://doi.org/10.1/p24"));
                QTest::keyClick(d->Row(0), Qt::Key_Tab);
                QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(d->Row(1)));
                QVERIFY(d->AbstractEdit()->toPlainText().contains(QStringLiteral("text 23.")));

                // Translation: shown with the note, then on the clipboard.
                {
                    MessageCatcher catcher;
                    d->Button(QStringLiteral("Baidu Translate"))->click();
                    QCOMPARE(catcher.texts.size(), 1);
                    QVERIFY(catcher.texts[0].contains(QStringLiteral("心力衰竭")));
                    QCOMPARE(QGuiApplication::clipboard()->text() +
                                 QStringLiteral("--以上译文已复制到剪贴板。"),
                             catcher.texts[0]);
                }
                d->Button(QStringLiteral("Copy Abstract and Link"))->click();
                QCOMPARE(QGuiApplication::clipboard()->text(),
                         QString::fromStdString(d->m_strAbstracts[1]) +
                             QStringLiteral(" Full Text Link: http://doi.org/10.1/p23"));

                // Paging.
                d->Button(QStringLiteral("<< Previous"))->click();
                QCOMPARE(d->m_nPage, 1);
                d->Button(QStringLiteral("Next >>"))->click();
                QCOMPARE(d->m_nPage, 2);
                QCOMPARE(d->PageEdit()->text(), QStringLiteral("2"));
                QCOMPARE(d->Row(0)->text(), QStringLiteral("  Planarian regeneration study 14 "));
                QVERIFY(d->AbstractEdit()->toPlainText().contains(QStringLiteral("text 14.")));
                d->Button(QStringLiteral("Next >>"))->click();
                QCOMPARE(d->m_nCount, 5);
                d->Button(QStringLiteral("Next >>"))->click();
                QCOMPARE(d->m_nPage, 3);
                d->activateWindow(); // back from the message boxes
                QVERIFY(QTest::qWaitForWindowActive(d));
                d->Row(6)->setFocus();
                QTRY_VERIFY(d->AbstractEdit()->toPlainText().isEmpty());

                // Go To: the same page again, then numbers that are not pages.
                d->PageEdit()->setText(QStringLiteral("2"));
                d->Button(QStringLiteral("Go To"))->click();
                QCOMPARE(d->m_nPage, 2);
                for (const auto& [typed, message] :
                     {std::pair{"0", "Please enter an integer between 1 and 100000."},
                      std::pair{"100001", "Please enter an integer between 1 and 100000."},
                      std::pair{"abc", "Please enter an integer."}}) {
                    MessageCatcher catcher;
                    d->PageEdit()->setText(QString::fromLatin1(typed));
                    d->Button(QStringLiteral("Go To"))->click();
                    QCOMPARE(catcher.texts.value(0), QString::fromLatin1(message));
                    QCOMPARE(d->m_nPage, 2);
                }
                d->PageEdit()->setText(QStringLiteral("7"));
                d->Button(QStringLiteral("Go To"))->click();
                QCOMPARE(d->m_nPage, 2);
                QCOMPARE(d->PageEdit()->text(), QStringLiteral("7"));

                // The server goes away: the page field stays on the page listed.
                StopServer();
                {
                    MessageCatcher catcher;
                    d->Button(QStringLiteral("Next >>"))->click();
                    QCOMPARE(catcher.texts.value(0), QStringLiteral("Web Page Download Failed"));
                }
                QCOMPARE(d->m_nPage, 2);
                QCOMPARE(d->PageEdit()->text(), QStringLiteral("2"));
                QCOMPARE(d->Row(0)->text(), QStringLiteral("  Planarian regeneration study 14 "));
                StartServer();

                // Exit ends the dialog even with a page field that does not read.
                d->PageEdit()->setText(QStringLiteral("abc"));
                d->Button(QStringLiteral("Exit"))->click();
                QVERIFY(!d->isVisible());
                QCOMPARE(d->result(), int(QDialog::Accepted));
            },
            [this] { app_->MainFrame()->Action(Command::PubmedSearch)->trigger(); }));
    }

    // Any page that names the site opens the dialog, with a list or without one (it then
    // pages the search typed last); Enter ends it like Exit, Escape cancels it.
    void anyPageNamingTheSiteOpensTheDialogAndEnterOrEscapeEndsIt() {
        View()->m_strKeyword = "typed";
        const std::string noList = dir_.Write(
            "mobile.html",
            "<html><head><title>About PubMed Mobile</title></head><body>no list</body></html>");
        const struct {
            QString address;
            std::string keyword;
            int count;
            Qt::Key key;
            QDialog::DialogCode result;
        } cases[] = {
            {QUrl::fromLocalFile(QString::fromStdString(noList)).toString(), "typed", 0,
             Qt::Key_Return, QDialog::Accepted},
            {QString::fromStdString(tamix::MakeSearchAddress("zebrafish")), "zebrafish", 10,
             Qt::Key_Escape, QDialog::Rejected},
        };
        for (const auto& c : cases) {
            QVERIFY2(InArticleDialog(
                         [&c](CPubmedItem* d) {
                             QCOMPARE(d->m_strKeyword, c.keyword);
                             QCOMPARE(d->m_nCount, c.count);
                             d->PageEdit()->setFocus();
                             QTest::keyClick(d->PageEdit(), c.key);
                             QVERIFY(!d->isVisible());
                             QCOMPARE(d->result(), int(c.result));
                         },
                         [&c, this] { View()->Navigate2(c.address); }),
                     qPrintable(c.address));
            if (QTest::currentTestFailed()) return;
        }
    }

    // Opened on a later page of a search the page itself made (its form, its pager), the
    // dialog pages through that search, not the last one typed, in that page's order:
    // Best Match, not newest first.
    void theDialogPagesTheSearchOfThePage() {
        View()->m_strKeyword = "planarian";
        QVERIFY(InArticleDialog(
            [](CPubmedItem* d) {
                QCOMPARE(d->m_strKeyword, std::string("axolotl"));
                QCOMPARE(d->m_strSort, std::string("relevance"));
                QCOMPARE(d->m_nPage, 2);
                QCOMPARE(d->m_nCount, 2);
                QCOMPARE(d->Row(0)->text(), QStringLiteral("  Axolotl limb 4 "));
                d->Button(QStringLiteral("<< Previous"))->click();
                QCOMPARE(d->m_nPage, 1);
                QCOMPARE(d->Row(0)->text(), QStringLiteral("  Axolotl limb 2 "));
            },
            [this] {
                View()->Navigate2(
                    QString::fromStdString("http://" + tamix::PubmedHost() +
                                           "/m/pubmed/?term=axolotl&page=2&sort=relevance"));
            }));
    }

    // A citation link on an article page saves the server's file where the user says.
    void aCitationLinkSavesTheFile() {
        const QString saved = QString::fromStdString(dir_.File("chosen.ris"));
        QString suggested;
        View()->m_chooseSavePath = [&](const QString& path) {
            suggested = path;
            return saved;
        };
        QSignalSpy loaded(View(), &tamix::shell::CTamixView::documentCompleted);
        View()->Navigate2(QString::fromStdString(tamix::MakeArticleAddress("00001005")));
        QVERIFY(loaded.wait(20000));
        View()->page()->runJavaScript(
            QStringLiteral("document.querySelector('a.cite[href$=\"format=ris\"]').click()"));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(saved).size() > 0, 20000);
        QVERIFY2(suggested.endsWith(QStringLiteral("/pubmed-00001005.ris")), qPrintable(suggested));
        QFile file(saved);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(text.contains("TI  - Planarian regeneration study 5\r\n"));
    }

    // The box tells a translation that could not be had: no answer from the server, or an
    // error from it (here for an empty text, as no row has been chosen).
    void aFailedTranslationSaysWhy() {
        CPubmedItem dialog;
        QStringList shown;
        for (const int port : {tamix::test::ClosedPort(), port_}) {
            qputenv(tamix::kTranslateHostVariable, "127.0.0.1:" + QByteArray::number(port));
            MessageCatcher catcher;
            dialog.TranslateAbstract();
            shown += catcher.texts;
        }
        QCOMPARE(shown, (QStringList{QStringLiteral("Baidu Translation Failed"),
                                     QStringLiteral("Error translation, please try again!")}));
    }

    // The one box that shows Chinese: a real translation by the glossary, drawn in the
    // font the box gives its text. On a machine where no installed font covers Chinese
    // this fails and names the characters that would be drawn as boxes.
    void translationBoxDrawsItsChinese() {
        CPubmedItem dialog;
        dialog.m_strKeyword = "older adults";
        QVERIFY(dialog.LoadResultPage(1));
        QCOMPARE(dialog.m_nCount, 3);
        dialog.SelectItem(0);
        QVERIFY(!dialog.m_strAbstracts[0].empty());

        MessageCatcher catcher([](QMessageBox* box) {
            const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
            QVERIFY(label);
            const QString text = label->text();
            QVERIFY2(text.contains(QStringLiteral("心力衰竭")), qPrintable(text));
            const Coverage coverage = CoverageOf(label->font(), text);
            qInfo("translation box text laid out in: %s",
                  qPrintable(coverage.families.join(QStringLiteral(", "))));
            QVERIFY2(coverage.missing.isEmpty(),
                     qPrintable(QStringLiteral("the translation box's font has no glyph for: ") +
                                coverage.missing.join(QLatin1Char(' '))));
            QVERIFY(!coverage.boxes);
        });
        dialog.TranslateAbstract();
        QCOMPARE(catcher.texts.size(), 1);
    }
};

QTEST_MAIN(TestPubmed)
#include "pubmed_test.moc"

// X11's headers come last: their macros (Bool, None, Status) would break Qt's.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

WindowNames NamesOf(const QWidget* window) {
    // Qt's own requests first reach the server, then another client asks.
    if (auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>())
        XSync(x11->display(), False);
    static Display* const display = XOpenDisplay(nullptr);
    WindowNames names;
    if (!display) return names;
    const Window id = window->winId();

    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, id, XInternAtom(display, "_NET_WM_NAME", False), 0, 4096, False,
                           XInternAtom(display, "UTF8_STRING", False), &type, &format, &count,
                           &after, &data) == Success &&
        data) {
        names.netWmName = QString::fromUtf8(reinterpret_cast<const char*>(data), int(count));
        XFree(data);
    }

    XTextProperty property{};
    if (XGetWMName(display, id, &property) && property.value) {
        char** list = nullptr;
        int items = 0;
        if (Xutf8TextPropertyToTextList(display, &property, &list, &items) == Success) {
            for (int i = 0; i < items; ++i)
                names.wmName += QString::fromUtf8(list[i]);
            XFreeStringList(list);
        }
        XFree(property.value);
    }
    return names;
}

} // namespace
