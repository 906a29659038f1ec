// The single document: it holds nothing but the title the frame's caption shows.
#pragma once

#include <QObject>
#include <QString>

namespace tamix::app {

class CTamixDoc : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kWindowTitle = "TAMIX";

    // The title of an unnamed document until the first page title arrives.
    QString Title() const { return m_strTitle; }
    void SetTitle(const QString& title);
    // "<title> - TAMIX"
    QString Caption() const;

signals:
    void titleChanged(const QString& caption);

private:
    QString m_strTitle = QStringLiteral("Untitled");
};

} // namespace tamix::app
