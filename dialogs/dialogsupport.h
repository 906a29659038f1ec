// What the two PubMed dialogs share: placing controls in dialog units, the message box,
// the link-styled button, and copying members to widgets and back with validation.
#pragma once

#include <QDialog>
#include <QPushButton>
#include <QString>

#include <functional>
#include <string>
#include <vector>

class QLineEdit;
class QLabel;

namespace tamix {

// Dialog units of the dialog's font: x as a quarter of the average character width,
// y as an eighth of the line height.
class DialogUnits {
public:
    explicit DialogUnits(const QWidget* dialog);
    QRect Rect(int x, int y, int width, int height) const;

private:
    double baseX_, baseY_;
};

// A modal box with one OK button, captioned "tamix".
void ShowMessage(QWidget* parent, const QString& text);

// A button drawn as a link that opens its address in the user's browser.
class CMFCLinkCtrl : public QPushButton {
    Q_OBJECT
public:
    explicit CMFCLinkCtrl(const QString& caption, QWidget* parent = nullptr);
    void SetURL(const QString& url) { m_strURL = url; }
    QString GetURL() const { return m_strURL; }

private:
    QString m_strURL;
};

// Copies members into controls (save = false) or back (save = true), stopping at the
// first field that fails validation after telling the user and focusing it.
class DataExchange {
public:
    explicit DataExchange(QWidget* parent, bool save) : parent_(parent), save_(save) {}
    bool Save() const { return save_; }
    bool Failed() const { return failed_; }

    void Text(QLineEdit* control, std::string& member);
    void Text(QLabel* control, int& member); // shown only, never read back
    void Text(QLineEdit* control, int& member, int min, int max);

private:
    void Fail(QWidget* control, const QString& message);

    QWidget* parent_;
    bool save_;
    bool failed_ = false;
};

// Reads "  -12 " as an integer the way the dialogs always have; false for anything else.
bool ParseDialogInteger(const QString& text, int& value);

} // namespace tamix
