// The keyword dialog of PubMed > Search.
#pragma once

#include <QDialog>

#include <string>

class QLineEdit;
class QPushButton;

namespace tamix {

class CKeyword : public QDialog {
    Q_OBJECT
public:
    explicit CKeyword(QWidget* parent = nullptr);

    // The keywords as typed; empty until the dialog is confirmed.
    std::string m_strKeyword;

    QLineEdit* Edit() const { return m_edit; }
    QPushButton* SearchButton() const { return m_search; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void OnOK();

    QLineEdit* m_edit;
    QPushButton* m_search;
};

} // namespace tamix
