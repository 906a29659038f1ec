#include "dialogs/dialogsupport.h"

#include <QDesktopServices>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QUrl>

#include <climits>

namespace tamix {

DialogUnits::DialogUnits(const QWidget* dialog) {
    const QFontMetrics metrics(dialog->font());
    const QString alphabet = QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
    baseX_ = metrics.horizontalAdvance(alphabet) / 52.0;
    baseY_ = metrics.height();
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
    const auto px = [](double units, double base, int divisor) {
        return static_cast<int>(units * base / divisor + 0.5);
    };
    return QRect(px(x, baseX_, 4), px(y, baseY_, 8), px(width, baseX_, 4), px(height, baseY_, 8));
}

void ShowMessage(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("tamix"), text, QMessageBox::Ok, parent);
    box.exec();
}

CMFCLinkCtrl::CMFCLinkCtrl(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {
    setFlat(true);
    setCursor(Qt::PointingHandCursor);
    setStyleSheet(
        QStringLiteral("QPushButton { color: #1a0dab; text-decoration: underline; border: none; "
                       "text-align: left; padding: 0; }"
                       "QPushButton:focus { outline: 1px dotted; }"));
    // Only web addresses are opened: the link may hold "No FullText Link".
    connect(this, &QPushButton::clicked, this, [this] {
        const QUrl url(m_strURL, QUrl::StrictMode);
        if (url.isValid() &&
            (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https")))
            QDesktopServices::openUrl(url);
    });
}

bool ParseDialogInteger(const QString& text, int& value) {
    const QString trimmed = text.trimmed();
    int i = 0;
    if (i < trimmed.size() && (trimmed[i] == QLatin1Char('-') || trimmed[i] == QLatin1Char('+')))
        ++i;
    if (i == trimmed.size()) return false;
    for (int k = i; k < trimmed.size(); ++k)
        if (!trimmed[k].isDigit() || trimmed[k].unicode() > 127) return false;
    bool ok = false;
    const long long parsed = trimmed.toLongLong(&ok);
    if (!ok || parsed < INT_MIN || parsed > INT_MAX) return false;
    value = static_cast<int>(parsed);
    return true;
}

void DataExchange::Fail(QWidget* control, const QString& message) {
    failed_ = true;
    ShowMessage(parent_, message);
    control->setFocus();
}

void DataExchange::Text(QLineEdit* control, std::string& member) {
    if (failed_) return;
    if (save_)
        member = control->text().toStdString();
    else
        control->setText(QString::fromStdString(member));
}

void DataExchange::Text(QLabel* control, int& member) {
    if (!save_) control->setText(QString::number(member));
}

void DataExchange::Text(QLineEdit* control, int& member, int min, int max) {
    if (failed_) return;
    if (!save_) {
        control->setText(QString::number(member));
        return;
    }
    int value = 0;
    if (!ParseDialogInteger(control->text(), value))
        return Fail(control, QStringLiteral("Please enter an integer."));
    member = value;
    if (value < min || value > max)
        Fail(control,
             QStringLiteral("Please enter an integer between %1 and %2.").arg(min).arg(max));
}

} // namespace tamix
