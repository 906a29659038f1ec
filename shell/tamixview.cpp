#include "shell/tamixview.h"

#include "app/tamixdoc.h"
#include "pubmed/addresses.h"
#include "pubmed/browserform.h"
#include "dialogs/keyword.h"
#include "dialogs/pubmeditem.h"
#include "pubmed/resultpage.h"
#include "shell/mainframe.h"

#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QPrintDialog>
#include <QPrinter>
#include <QTimer>
#include <QWebEngineDownloadRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>

#include <memory>

namespace tamix::shell {

namespace {

// Every navigation the page makes, typed or clicked, asks here first.
class CTamixPage : public QWebEnginePage {
public:
    CTamixPage(QObject* parent, std::function<void(const QUrl&)> before)
        : QWebEnginePage(parent), before_(std::move(before)) {}

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType, bool) override {
        before_(url);
        return true;
    }

private:
    std::function<void(const QUrl&)> before_;
};

const char* const kOpenFilter =
    "HTML Files (*.htm *.html);;Text Files (*.txt);;GIF Files (*.gif);;"
    "JPEG Files (*.jpg *.jpeg);;AU Files (*.au);;AIFF Files (*.aif *.aiff);;"
    "XBM Files (*.xbm);;All Files (*)";

// How long GetSource waits for the page to hand out its document.
constexpr int kSourceTimeoutMs = 10000;

} // namespace

CTamixView::CTamixView(CMainFrame* frame, app::CTamixDoc* document)
    : QWebEngineView(frame), m_frame(frame), m_document(document) {
    setPage(new CTamixPage(this, [this](const QUrl& url) { OnBeforeNavigate2(url); }));
    connect(this, &QWebEngineView::titleChanged, this, &CTamixView::OnTitleChange);
    connect(this, &QWebEngineView::loadFinished, this, [this] { OnDocumentComplete(url()); });
    // The engine drops a download that nobody accepts: a link answered with a file (the
    // server's citation exports) would do nothing.
    connect(page()->profile(), &QWebEngineProfile::downloadRequested, this,
            &CTamixView::OnDownloadRequested);
    m_chooseSavePath = [this](const QString& suggested) {
        return QFileDialog::getSaveFileName(this, QString(), suggested);
    };
}

void CTamixView::OnDownloadRequested(QWebEngineDownloadRequest* download) {
    if (download->page() != page()) return;
    const QString path = m_chooseSavePath(
        QDir(download->downloadDirectory()).filePath(download->downloadFileName()));
    if (path.isEmpty()) {
        download->cancel();
        return;
    }
    const QFileInfo file(path);
    download->setDownloadDirectory(file.absolutePath());
    download->setDownloadFileName(file.fileName());
    download->accept();
}

CTamixView::~CTamixView() = default;

QUrl CTamixView::StartPage() {
    return QUrl(QString::fromStdString("http://" + PubmedHost() + "/"));
}

QUrl CTamixView::SearchPage() {
    return QUrl(QStringLiteral("https://duckduckgo.com/"));
}

void CTamixView::OnInitialUpdate(const QString& commandLine) {
    if (commandLine.isEmpty())
        load(StartPage());
    else
        Navigate2(commandLine);
}

void CTamixView::Navigate2(const QString& address) {
    // An empty address shows an empty page, as the browser would.
    load(address.isEmpty() ? QUrl(QStringLiteral("about:blank")) : QUrl::fromUserInput(address));
}

void CTamixView::OnBeforeNavigate2(const QUrl&) {
    if (m_frame) m_frame->ShowPageLoading();
}

void CTamixView::OnTitleChange(const QString& title) {
    if (m_document) m_document->SetTitle(title);
}

void CTamixView::OnDocumentComplete(const QUrl& url) {
    if (m_frame) m_frame->ShowPageLoaded(url.toString());
    std::string source;
    GetSource(source);
    emit documentCompleted(url);
    // Any page that names the mobile site (not at its very start) is taken for a result
    // page. The dialog runs once this notification has returned, so the engine's own
    // bookkeeping of the load is not held up by a modal loop.
    const auto phrase = source.find("PubMed Mobile");
    if (phrase != std::string::npos && phrase >= 1)
        QMetaObject::invokeMethod(this, &CTamixView::OnPubmedDownload, Qt::QueuedConnection);
}

bool CTamixView::GetSource(std::string& source) {
    QPointer<CTamixView> self(this);
    QPointer<QWebEnginePage> page(this->page());
    if (!page) return false;
    // Shared with the callback, which may come after we have given up waiting.
    struct Pending {
        QString html;
        bool done = false;
        QPointer<QEventLoop> loop;
    };
    auto pending = std::make_shared<Pending>();
    QEventLoop loop;
    pending->loop = &loop;
    page->toHtml([pending](const QString& text) {
        pending->html = text;
        pending->done = true;
        if (pending->loop) pending->loop->quit();
    });
    // The page may go away (the window closes) while we wait: then there is no source.
    connect(page, &QObject::destroyed, &loop, &QEventLoop::quit);
    QTimer::singleShot(kSourceTimeoutMs, &loop, &QEventLoop::quit);
    if (!pending->done) loop.exec();
    pending->loop = nullptr;
    if (!self || !page || !pending->done) return false;
    source = ToBrowserForm(pending->html.toStdString());
    return true;
}

void CTamixView::OnFileOpen() {
    const QString path =
        QFileDialog::getOpenFileName(this, QString(), QString(), QString::fromLatin1(kOpenFilter));
    if (!path.isEmpty()) load(QUrl::fromLocalFile(path));
}

void CTamixView::OnFilePrint() {
    if (m_printer) return; // one print at a time: the printer lives until it has finished
    m_printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
    QPrintDialog dialog(m_printer.get(), this);
    if (dialog.exec() != QDialog::Accepted) {
        m_printer.reset();
        return;
    }
    connect(
        this, &QWebEngineView::printFinished, this, [this](bool) { m_printer.reset(); },
        Qt::SingleShotConnection);
    print(m_printer.get());
}

void CTamixView::OnViewStop() {
    triggerPageAction(QWebEnginePage::Stop);
}
void CTamixView::OnViewRefresh() {
    triggerPageAction(QWebEnginePage::Reload);
}
void CTamixView::OnGoBack() {
    triggerPageAction(QWebEnginePage::Back);
}
void CTamixView::OnGoForward() {
    triggerPageAction(QWebEnginePage::Forward);
}
void CTamixView::OnGoStartPage() {
    load(StartPage());
}
void CTamixView::OnGoSearchTheWeb() {
    load(SearchPage());
}

void CTamixView::SetTextSize(int size) {
    setZoomFactor(kZoomFactors[size]);
}

void CTamixView::OnPubmedSearch() {
    CKeyword dialog(window());
    if (dialog.exec() != QDialog::Accepted) return;
    m_strKeyword = dialog.m_strKeyword;
    load(QUrl(QString::fromStdString(MakeSearchAddress(dialog.m_strKeyword))));
}

void CTamixView::OnPubmedDownload() {
    std::string source;
    if (!GetSource(source)) return;
    CPubmedItem dialog(window());
    ParseResultPage(source, kBrowserMarkers, dialog);
    // A search typed into the page's own form pages from the page's own address.
    const auto query = ParseResultPageAddress(url().toString(QUrl::FullyEncoded).toStdString());
    dialog.m_strKeyword = query ? query->keywords : m_strKeyword;
    dialog.m_nTotalPages = ParseTotalPages(source);
    dialog.m_nPage = query ? query->page : 1;
    dialog.m_strSort = query ? query->sort : std::string();
    emit articleDialogOpened(&dialog);
    dialog.exec();
}

} // namespace tamix::shell
