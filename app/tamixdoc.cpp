#include "app/tamixdoc.h"

namespace tamix::app {

void CTamixDoc::SetTitle(const QString& title) {
    m_strTitle = title;
    emit titleChanged(Caption());
}

QString CTamixDoc::Caption() const {
    return m_strTitle + QStringLiteral(" - ") + QLatin1String(kWindowTitle);
}

} // namespace tamix::app
