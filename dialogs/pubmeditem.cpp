#include "dialogs/pubmeditem.h"

#include "pubmed/addresses.h"
#include "pubmed/articlepage.h"
#include "pubmed/download.h"
#include "pubmed/resultpage.h"
#include "pubmed/translation.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

namespace tamix {

namespace {

// The wait cursor for as long as a download blocks the dialog.
class BusyCursor {
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
};

constexpr int kMaxPage = 100000;

} // namespace

CPubmedItem::CPubmedItem(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Pubmed Article and Download"));
    QFont font = this->font();
    font.setPointSize(8);
    setFont(font);
    const DialogUnits du(this);
    setFixedSize(du.Rect(0, 0, 754, 416).size());

    const auto button = [&](const char* text, int x, int y, int w, int h,
                            void (CPubmedItem::*handler)()) {
        auto* b = new QPushButton(QString::fromUtf8(text), this);
        b->setGeometry(du.Rect(x, y, w, h));
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, handler);
        m_buttons.push_back(b);
        return b;
    };
    const auto label = [&](const char* text, int x, int y, int w, int h) {
        auto* l = new QLabel(QString::fromUtf8(text), this);
        l->setGeometry(du.Rect(x, y, w, h));
        return l;
    };

    // Controls are made in the template's tab order; the "About the Author" link comes
    // first in it, so the dialog opens with no row selected.
    m_about = new CMFCLinkCtrl(QStringLiteral("About the Author"), this);
    m_about->setGeometry(du.Rect(674, 387, 73, 14));
    m_about->SetURL(QString::fromStdString("http://" + PubmedHost() + "/about"));

    QPushButton* previous = button("<< Previous", 471, 7, 50, 14, &CPubmedItem::OnPrevious);
    label("Total Page Number:", 342, 10, 64, 8);
    m_total = label("Static", 414, 10, 49, 8);
    label("Current Page:", 529, 10, 46, 8);
    m_page = new QLineEdit(this);
    m_page->setGeometry(du.Rect(583, 7, 48, 14));
    QPushButton* goTo = button("Go To", 639, 7, 50, 14, &CPubmedItem::OnGoTo);
    QPushButton* next = button("Next >>", 697, 7, 50, 14, &CPubmedItem::OnNext);
    label("Click the title, and the abstract and fulltext link will be loaded. Please wait while "
          "downloading...",
          7, 29, 304, 8)
        ->setWordWrap(false);
    const int rowY[kItemsPerPage] = {40, 63, 86, 109, 132, 155, 178, 201, 224, 247};
    for (int r = 0; r < kItemsPerPage; ++r) {
        m_rows[r] = new QLineEdit(this);
        m_rows[r]->setGeometry(du.Rect(7, rowY[r], 740, 14));
        m_rows[r]->setReadOnly(true);
        m_rows[r]->installEventFilter(this);
    }
    label("Abstract", 7, 266, 28, 8);
    m_abstract = new QPlainTextEdit(this);
    m_abstract->setGeometry(du.Rect(7, 276, 740, 105));
    m_abstract->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_abstract->setTabChangesFocus(true);
    m_linkFullText = new CMFCLinkCtrl(QStringLiteral("Full Text"), this);
    m_linkFullText->setGeometry(du.Rect(7, 387, 41, 14));
    m_link = new QLineEdit(this);
    m_link->setGeometry(du.Rect(53, 387, 393, 14));
    QPushButton* copy =
        button("Copy Abstract and Link", 453, 387, 82, 14, &CPubmedItem::CopyAbstractAndLink);
    QPushButton* translate =
        button("Baidu Translate", 540, 387, 66, 14, &CPubmedItem::TranslateAbstract);
    QPushButton* exit = button("Exit", 611, 387, 50, 14, &CPubmedItem::OnExit);

    // Tab order of the template.
    QWidget* order[] = {m_about,   previous,  m_page,    goTo,       next,           m_rows[0],
                        m_rows[1], m_rows[2], m_rows[3], m_rows[4],  m_rows[5],      m_rows[6],
                        m_rows[7], m_rows[8], m_rows[9], m_abstract, m_linkFullText, m_link,
                        copy,      translate, exit};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
}

QPushButton* CPubmedItem::Button(const QString& text) const {
    for (QPushButton* b : m_buttons)
        if (b->text() == text) return b;
    return nullptr;
}

int CPubmedItem::exec() {
    OnInitDialog();
    m_about->setFocus();
    return QDialog::exec();
}

void CPubmedItem::OnInitDialog() {
    for (int r = 0; r < kItemsPerPage; ++r)
        m_strRows[r] = m_strTitles[r];
    m_nShownTotal = m_nTotalPages;
    m_nShownPage = m_nPage;
    UpdateData(false);
}

bool CPubmedItem::UpdateData(bool save) {
    DataExchange dx(this, save);
    if (!save) {
        m_abstract->setPlainText(QString::fromStdString(m_strAbstract));
    } else {
        m_strAbstract = m_abstract->toPlainText().toStdString();
    }
    for (int r = 0; r < kItemsPerPage; ++r)
        dx.Text(m_rows[r], m_strRows[r]);
    dx.Text(m_link, m_strLink);
    // The total is shown only: a count the server gives is never the user's to fix.
    dx.Text(m_total, m_nShownTotal);
    dx.Text(m_page, m_nShownPage, 1, kMaxPage);
    return !dx.Failed();
}

bool CPubmedItem::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusIn) {
        for (int r = 0; r < kItemsPerPage; ++r) {
            if (watched == m_rows[r]) {
                SelectItem(r);
                break;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CPubmedItem::keyPressEvent(QKeyEvent* event) {
    // Enter ends the dialog like Exit, wherever the focus is; Escape cancels.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        OnExit();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CPubmedItem::SelectItem(int k) {
    if (k >= m_nCount) {
        m_strAbstract.clear();
        m_strLink.clear();
        UpdateData(false);
        return;
    }
    if (!LoadAbstract(k)) return;
    m_strAbstract = m_strAbstracts[k];
    m_strLink = m_strLinks[k];
    UpdateData(false);
}

bool CPubmedItem::LoadAbstract(int k) {
    m_nCurrent = k;
    if (!m_strAbstracts[k].empty()) {
        m_linkFullText->SetURL(QString::fromStdString(m_strLinks[k]));
        return true;
    }
    {
        BusyCursor busy;
        if (!DownloadToFile(MakeArticleAddress(m_strIds[k]), kArticlePageFile)) return false;
    }
    const ArticleText text = ExtractArticle(ReadScratchFile(kArticlePageFile), m_strIds[k]);
    m_strAbstracts[k] = text.abstract;
    m_strLinks[k] = text.link;
    m_linkFullText->SetURL(QString::fromStdString(m_strLinks[k]));
    return true;
}

bool CPubmedItem::LoadResultPage(int n) {
    {
        BusyCursor busy;
        if (!DownloadToFile(MakeResultPageAddress(m_strKeyword, n, m_strSort), kResultPageFile)) {
            ShowMessage(this, QStringLiteral("Web Page Download Failed"));
            return false;
        }
    }
    const std::string page = ReadScratchFile(kResultPageFile);
    EmptyForNewPage();
    ParseResultPage(page, kServerMarkers, *this);
    m_nPage = n;
    m_linkFullText->SetURL(QString());
    return true;
}

// A failed download leaves the page number on the page still listed.
void CPubmedItem::Page(int target) {
    LoadResultPage(target);
    OnInitDialog();
}

void CPubmedItem::OnPrevious() {
    if (m_nPage > 1) Page(m_nPage - 1);
    SelectItem(0);
}

void CPubmedItem::OnNext() {
    if (m_nPage < m_nTotalPages) Page(m_nPage + 1);
    SelectItem(0);
}

void CPubmedItem::OnGoTo() {
    UpdateData(true); // a failed check has told the user; the number read stands
    if (m_nShownPage >= 1 && m_nShownPage <= m_nTotalPages) Page(m_nShownPage);
    SelectItem(0);
}

// Exit always ends the dialog, whatever the fields hold: nothing read back from them is
// used afterwards, so no check may keep the user in.
void CPubmedItem::OnExit() {
    EmptyAll();
    accept();
}

void CPubmedItem::TranslateAbstract() {
    const std::string source = MakeTranslationSource(m_strAbstracts[m_nCurrent]);
    bool downloaded = false;
    {
        BusyCursor busy;
        downloaded = DownloadToFile(MakeTranslateAddress(source), kTranslationFile);
    }
    if (!downloaded) {
        ShowMessage(this, QStringLiteral("Baidu Translation Failed"));
        return;
    }
    const std::optional<std::string> translation =
        DecodeTranslation(ReadScratchFile(kTranslationFile));
    if (!translation) {
        ShowMessage(this, QStringLiteral("Error translation, please try again!"));
        return;
    }
    ShowMessage(this, QString::fromStdString(*translation + std::string(kCopiedNote)));
    PutOnClipboard(*translation);
}

void CPubmedItem::CopyAbstractAndLink() {
    PutOnClipboard(m_strAbstracts[m_nCurrent] + " Full Text Link: " + m_strLinks[m_nCurrent]);
}

void CPubmedItem::PutOnClipboard(const std::string& text) {
    if (QClipboard* clipboard = QGuiApplication::clipboard())
        clipboard->setText(QString::fromStdString(text));
}

} // namespace tamix
