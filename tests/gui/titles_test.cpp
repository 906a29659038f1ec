// What the user sees of each window beyond its widgets: the name the window system shows
// in the title bar, and the font that draws the translation's Chinese. Real windows under
// Xvfb, a real tamix-server with the real glossary on a free loopback port.
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
#include <QFontMetrics>
#include <QGlyphRun>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
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

int CountHan(const QString& text) {
    int han = 0;
    for (const char32_t c : text.toUcs4())
        han += QChar::script(c) == QChar::Script_Han;
    return han;
}

// Runs body on the next modal box (while it is shown), then presses its OK.
class BoxInspector : public QObject {
public:
    explicit BoxInspector(std::function<void(QMessageBox*)> body) : body_(std::move(body)) {
        connect(&timer_, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible() || seen) return;
            seen = true;
            body_(box);
            box->button(QMessageBox::Ok)->click();
        });
        timer_.start(20);
    }
    bool seen = false;

private:
    std::function<void(QMessageBox*)> body_;
    QTimer timer_;
};

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

    // The one box that shows Chinese: a real translation by the glossary, drawn in the
    // font the box gives its text. On a machine where no installed font covers Chinese
    // this fails and names the characters that would be drawn as boxes.
    void translationBoxDrawsItsChinese() {
        CPubmedItem dialog;
        dialog.m_strKeyword = "heart failure";
        QVERIFY(dialog.LoadResultPage(1));
        QCOMPARE(dialog.m_nCount, 3);
        dialog.SelectItem(0);
        QVERIFY(!dialog.m_strAbstracts[0].empty());

        BoxInspector inspector([](QMessageBox* box) {
            COMPARE_NAMES(box, QStringLiteral("tamix"));
            const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
            QVERIFY(label);
            const QString text = label->text();
            QVERIFY2(text.contains(QStringLiteral("心力衰竭")), qPrintable(text));
            QVERIFY(CountHan(text) > 10);
            const Coverage coverage = CoverageOf(label->font(), text);
            qInfo("translation box text laid out in: %s",
                  qPrintable(coverage.families.join(QStringLiteral(", "))));
            QVERIFY2(coverage.missing.isEmpty(),
                     qPrintable(QStringLiteral("the translation box's font has no glyph for: ") +
                                coverage.missing.join(QLatin1Char(' '))));
            QVERIFY(!coverage.boxes);
        });
        dialog.TranslateAbstract();
        QVERIFY(inspector.seen);
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
