#include "app/tamixapp.h"

#include "app/startupreport.h"
#include "app/tamixdoc.h"
#include "app/version.h"
#include "shell/favorites.h"
#include "shell/mainframe.h"
#include "shell/tamixview.h"

#include <QApplication>
#include <QMessageBox>

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>

namespace tamix::app {

CTamixApp::CTamixApp(int& argc, char** argv) {
    QCoreApplication::setOrganizationName(QString::fromLatin1(kOrganization));
    QCoreApplication::setApplicationName(QString::fromLatin1(kApplicationName));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kVersion));
    if (!QCoreApplication::instance()) m_application = std::make_unique<QApplication>(argc, argv);
    // No display name of our own: Qt's X11 and Wayland plugins append one to every window
    // title (" \u2014 tamix"), and each caption here is exact. Unset, the display name
    // still reads "tamix", the application name.
    QGuiApplication::setDesktopFileName(QStringLiteral("tamix"));
}

CTamixApp::~CTamixApp() {
    m_frame.reset();
    m_document.reset();
    if (m_networkReady) curl_global_cleanup();
}

QString CTamixApp::CommandLineText(const QStringList& arguments) {
    return arguments.mid(1).join(QLatin1Char(' '));
}

bool CTamixApp::InitInstance() {
    return InitInstance(CommandLineText(QCoreApplication::arguments()));
}

bool CTamixApp::InitInstance(const QString& commandLine) {
    // The downloads' library must start before any window does.
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        QMessageBox::warning(nullptr, QStringLiteral("tamix"),
                             QStringLiteral("Windows sockets initialization failed."));
        return false;
    }
    m_networkReady = true;

    m_document = std::make_unique<CTamixDoc>();
    m_frame = std::make_unique<shell::CMainFrame>(m_document.get());
    m_view = new shell::CTamixView(m_frame.get(), m_document.get());
    m_frame->SetView(m_view);
    m_frame->FillFavorites(
        shell::FavoritesFolder([](const std::string& name) -> std::optional<std::string> {
            const char* value = std::getenv(name.c_str());
            return value ? std::optional<std::string>(value) : std::nullopt;
        }));
    if (qEnvironmentVariableIsSet(kReportStartupVariable)) {
        QObject::connect(m_view, &shell::CTamixView::documentCompleted, m_view, [] {
            std::fprintf(stderr, "%s\n", StartupReportLine().c_str());
            std::fflush(stderr);
            QCoreApplication::quit();
        });
    }
    m_view->OnInitialUpdate(commandLine);
    m_frame->show();
    return true;
}

int CTamixApp::Run() {
    if (!InitInstance()) return 1;
    return QApplication::exec();
}

} // namespace tamix::app
