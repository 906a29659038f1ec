// What the user sees of each window beyond its widgets: the name the window system shows
// in the title bar. Real windows under Xvfb, a real tamix-server on a free loopback port.
#include "app/tamixapp.h"
#include "dialogs/keyword.h"
#include "dialogs/pubmeditem.h"
#include "pubmed/addresses.h"
#include "server/web/http.h"
#include "shell/mainframe.h"
#include "shell/tamixview.h"
#include "support/pubmed_fixture.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <functional>
#include <thread>

using tamix::shell::Command;

namespace {

// A window's name as another X client (the window manager) reads it: the UTF-8 EWMH
// name and the ICCCM WM_NAME. Defined at the end of the file, after X11's headers.
struct WindowNames {
    QString netWmName;
    QString wmName;
};
WindowNames NamesOf(const QWidget* window);

void CompareNames(const QWidget* window, const QString& expected) {
    QCOMPARE(window->windowTitle(), expected);
    const WindowNames names = NamesOf(window);
    QCOMPARE(names.netWmName, expected);
    QCOMPARE(names.wmName, expected);
}
#define COMPARE_NAMES(window, expected)                                                            \
    do {                                                                                           \
        CompareNames(window, expected);                                                            \
        if (QTest::currentTestFailed()) return;                                                    \
    } while (false)

std::vector<tamix::test::Record> Fixture() {
    std::vector<tamix::test::Record> records;
    for (int i = 0; i < 3; ++i)
        records.push_back({4000 + i, "Heart failure in older adults " + std::to_string(i),
                           "<AbstractText>Heart failure is a common disease with high "
                           "mortality.</AbstractText>",
                           2019, 2, 1 + i, "10.1/hf" + std::to_string(i)});
    return records;
}

} // namespace

class TestTitles : public QObject {
    Q_OBJECT

private:
    tamix::test::TempDir dir_;
    std::unique_ptr<tamix::server::HttpServer> server_;
    std::thread serverThread_;
    std::unique_ptr<tamix::app::CTamixApp> app_;

private slots:
    void initTestCase() {
        tamix::test::ImportFiles(dir_.File("index.sqlite"),
                                 {dir_.Write("f.xml", tamix::test::ArticleSet(Fixture()))});
        tamix::server::ServeOptions options;
        options.index = dir_.File("index.sqlite");
        options.port = 0;
        options.accessLog = false;
        options.glossary = TAMIX_GLOSSARY_FILE;
        server_ = std::make_unique<tamix::server::HttpServer>(options);
        const QByteArray host = "127.0.0.1:" + QByteArray::number(server_->Bind());
        serverThread_ = std::thread([this] { server_->Run(); });
        qputenv(tamix::kPubmedHostVariable, host);
        qputenv(tamix::kTranslateHostVariable, host);
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir_.File("")));
        QDir::setCurrent(QString::fromStdString(dir_.File("")));
        // The application object as the program makes it: its names are what Qt's
        // platform plugin may add to titles.
        int argc = 1;
        static char name[] = "tamix";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<tamix::app::CTamixApp>(argc, argv);
    }

    void cleanupTestCase() {
        app_.reset();
        server_->Stop();
        serverThread_.join();
    }

    void theWindowSystemSeesEachWindowsOwnTitle() {
        QVERIFY(app_->InitInstance(QString()));
        QWidget* frame = app_->MainFrame();
        // Before any page has a title; nothing has run the event loop yet.
        COMPARE_NAMES(frame, QStringLiteral("Untitled - TAMIX"));
        QSignalSpy loaded(app_->View(), &tamix::shell::CTamixView::documentCompleted);
        QVERIFY(loaded.wait(20000));

        // Each dialog is closed whatever its check found, so a failure cannot hang a modal loop.
        bool keywordChecked = false;
        QTimer::singleShot(0, this, [&] {
            QTRY_VERIFY(qobject_cast<tamix::CKeyword*>(QApplication::activeModalWidget()));
            auto* keyword = qobject_cast<tamix::CKeyword*>(QApplication::activeModalWidget());
            CompareNames(keyword, QStringLiteral("Search PubMed"));
            keywordChecked = true;
            QTest::keyClicks(keyword->Edit(), QStringLiteral("heart failure"));
            QTest::keyClick(keyword->Edit(), Qt::Key_Return);
        });
        bool articleChecked = false;
        connect(app_->View(), &tamix::shell::CTamixView::articleDialogOpened, this,
                [&](QDialog* dialog) {
                    QTimer::singleShot(0, dialog, [&, dialog] {
                        [&] {
                            const QString caption =
                                QStringLiteral("PubMed Mobile: heart failure - TAMIX");
                            QTRY_COMPARE(frame->windowTitle(), caption);
                            COMPARE_NAMES(frame, caption);
                            COMPARE_NAMES(dialog, QStringLiteral("Pubmed Article and Download"));
                        }();
                        articleChecked = true;
                        dialog->reject();
                    });
                });
        app_->MainFrame()->Action(Command::PubmedSearch)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(articleChecked, 20000);
        QVERIFY(keywordChecked);
    }
};

QTEST_MAIN(TestTitles)
#include "titles_test.moc"

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
