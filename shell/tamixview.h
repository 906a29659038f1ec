// The browser view: a Qt WebEngine view that reports navigation to the frame and the
// document, serves the navigation, text-size, open and print commands, and is where the
// PubMed commands enter.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QWebEngineView>

#include <functional>
#include <memory>
#include <string>

class QPrinter;
class QWebEngineDownloadRequest;

namespace tamix::app {
class CTamixDoc;
}

namespace tamix::shell {

class CMainFrame;

class CTamixView : public QWebEngineView {
    Q_OBJECT
public:
    // Text sizes 0 (smallest) to 4 (largest).
    static constexpr double kZoomFactors[5] = {0.7, 0.85, 1.0, 1.2, 1.5};

    CTamixView(CMainFrame* frame, app::CTamixDoc* document);
    ~CTamixView() override;

    // The first page: the command-line text when there is one, else the start page.
    void OnInitialUpdate(const QString& commandLine);
    void Navigate2(const QString& address);
    static QUrl StartPage();
    static QUrl SearchPage();

    // The page source in the browser form (element names upper case), waiting for the
    // page to hand it out; false when there is no page or it went away meanwhile.
    bool GetSource(std::string& source);

    // The keywords of the last confirmed search, as typed.
    std::string m_strKeyword;

    // Where a file the server sends (a citation export) is saved: the user's choice,
    // from the suggested path; "" cancels. Tests replace the question.
    std::function<QString(const QString& suggested)> m_chooseSavePath;

    void OnFileOpen();
    void OnFilePrint();
    void OnViewStop();
    void OnViewRefresh();
    void OnGoBack();
    void OnGoForward();
    void OnGoStartPage();
    void OnGoSearchTheWeb();
    void OnViewFontsLargest() { SetTextSize(4); }
    void OnViewFontsLarge() { SetTextSize(3); }
    void OnViewFontsMedium() { SetTextSize(2); }
    void OnViewFontsSmall() { SetTextSize(1); }
    void OnViewFontsSmallest() { SetTextSize(0); }
    void OnPubmedSearch();
    void OnPubmedDownload();

signals:
    // After OnDocumentComplete has updated the frame; tests wait for it.
    void documentCompleted(const QUrl& url);
    // The article dialog is about to run; tests drive it from here.
    void articleDialogOpened(QDialog* dialog);

protected:
    void OnBeforeNavigate2(const QUrl& url);
    void OnTitleChange(const QString& title);
    void OnDocumentComplete(const QUrl& url);
    void OnDownloadRequested(QWebEngineDownloadRequest* download);

private:
    void SetTextSize(int size);

    QPointer<CMainFrame> m_frame;
    app::CTamixDoc* m_document;
    std::unique_ptr<QPrinter> m_printer;
};

} // namespace tamix::shell
