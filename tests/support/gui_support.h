// What the widget tests share: the application started as the program starts it, and an
// answer to the message boxes a click brings up.
#pragma once

#include "app/tamixapp.h"

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace tamix::test {

// Makes the application object as the program does, its settings and working folder in
// the folder home, and runs InitInstance; nothing runs the event loop.
inline bool StartApp(std::unique_ptr<app::CTamixApp>& app, const std::string& home,
                     const QString& commandLine) {
    // QApplication keeps references to both for its whole life.
    static int argc = 1;
    static char name[] = "tamix";
    static char* argv[] = {name, nullptr};
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(home));
    QDir::setCurrent(QString::fromStdString(home));
    app = std::make_unique<app::CTamixApp>(argc, argv);
    return app->InitInstance(commandLine);
}

// Answers each message box as it shows: keeps its text, runs inspect on it while it is
// on screen, and presses OK.
class MessageCatcher : public QObject {
public:
    explicit MessageCatcher(std::function<void(QMessageBox*)> inspect = {})
        : inspect_(std::move(inspect)) {
        connect(&timer_, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible()) return;
            texts.push_back(box->text());
            if (inspect_) inspect_(box);
            box->button(QMessageBox::Ok)->click();
        });
        timer_.start(20);
    }
    QStringList texts;

private:
    std::function<void(QMessageBox*)> inspect_;
    QTimer timer_;
};

} // namespace tamix::test
