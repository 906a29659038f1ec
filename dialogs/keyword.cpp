#include "dialogs/keyword.h"

#include "dialogs/dialogsupport.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace tamix {

CKeyword::CKeyword(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Search PubMed"));
    QFont font = this->font();
    font.setPointSize(8);
    setFont(font);
    const DialogUnits du(this);
    setFixedSize(du.Rect(0, 0, 249, 82).size());
    auto* label = new QLabel(QStringLiteral("Please Enter the Key Words:"), this);
    label->setGeometry(du.Rect(7, 10, 235, 10));
    m_edit = new QLineEdit(this);
    m_edit->setGeometry(du.Rect(7, 24, 235, 14));
    m_search = new QPushButton(QStringLiteral("Search"), this);
    m_search->setGeometry(du.Rect(192, 56, 50, 14));
    // Not a default button: Enter is the dialog's own OK.
    m_search->setAutoDefault(false);
    m_search->setDefault(false);
    connect(m_search, &QPushButton::clicked, this, &CKeyword::OnOK);
    m_edit->setFocus();
}

void CKeyword::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        OnOK();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CKeyword::OnOK() {
    m_strKeyword = m_edit->text().toStdString();
    accept();
}

} // namespace tamix
