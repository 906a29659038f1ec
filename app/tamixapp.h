// The application: start-up in its fixed order, then the event loop.
#pragma once

#include <QString>
#include <QStringList>

#include <memory>

class QApplication;

namespace tamix::shell {
class CMainFrame;
class CTamixView;
} // namespace tamix::shell

namespace tamix::app {

class CTamixDoc;

class CTamixApp {
public:
    // Makes the QApplication unless one exists (tests make their own).
    CTamixApp(int& argc, char** argv);
    ~CTamixApp();

    // Network start-up, profile, the document, frame and view, the first page; false
    // when the program cannot start (the user has been told why).
    bool InitInstance();
    bool InitInstance(const QString& commandLine);
    int Run();

    // The program's arguments joined by single spaces: the first page's address.
    static QString CommandLineText(const QStringList& arguments);

    shell::CMainFrame* MainFrame() const { return m_frame.get(); }
    shell::CTamixView* View() const { return m_view; }
    CTamixDoc* Document() const { return m_document.get(); }

private:
    std::unique_ptr<QApplication> m_application;
    std::unique_ptr<CTamixDoc> m_document;
    std::unique_ptr<shell::CMainFrame> m_frame;
    shell::CTamixView* m_view = nullptr;
    bool m_networkReady = false;
};

} // namespace tamix::app
