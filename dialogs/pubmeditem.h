// The article dialog: one result page in ten rows, the selected article's abstract and
// full-text link, paging, translation and copying. It owns the article list record and
// every download of the PubMed search.
#pragma once

#include "pubmed/articlerecord.h"
#include "dialogs/dialogsupport.h"

#include <QDialog>

#include <array>
#include <string>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace tamix {

class CPubmedItem : public QDialog, public CArticleRecord {
    Q_OBJECT
public:
    static constexpr const char* kResultPageFile = "temp.page";
    static constexpr const char* kArticlePageFile = "temp.txt";
    static constexpr const char* kTranslationFile = "temp.json";

    explicit CPubmedItem(QWidget* parent = nullptr);

    // Shown fields: the record's members copied here for the controls.
    std::string m_strAbstract;
    std::array<std::string, kItemsPerPage> m_strRows; // row r shows title r - 1
    std::string m_strLink;
    int m_nShownTotal = 0;
    int m_nShownPage = 0;
    CMFCLinkCtrl* m_linkFullText;
    // The order of the result page the dialog was opened on ("" for the default), kept
    // while paging so that the dialog lists what the page listed.
    std::string m_strSort;

    // Rows from the record, shown numbers, then members into controls.
    void OnInitDialog();
    // Members into controls (false) or back with validation (true).
    bool UpdateData(bool save);
    void SelectItem(int k);
    bool LoadAbstract(int k);
    // Fetches result page n; on success it is listed and m_nPage becomes n.
    bool LoadResultPage(int n);
    void OnPrevious();
    void OnNext();
    void OnGoTo();
    void OnExit();
    void TranslateAbstract();
    void CopyAbstractAndLink();

    QLineEdit* Row(int r) const { return m_rows[r]; }
    QPlainTextEdit* AbstractEdit() const { return m_abstract; }
    QLineEdit* LinkEdit() const { return m_link; }
    QLineEdit* PageEdit() const { return m_page; }
    QLabel* TotalLabel() const { return m_total; }
    QPushButton* Button(const QString& text) const;
    CMFCLinkCtrl* AboutLink() const { return m_about; }

    int exec() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Page(int target);
    void PutOnClipboard(const std::string& text);

    std::array<QLineEdit*, kItemsPerPage> m_rows{};
    QPlainTextEdit* m_abstract;
    QLineEdit* m_link;
    QLineEdit* m_page;
    QLabel* m_total;
    CMFCLinkCtrl* m_about;
    std::vector<QPushButton*> m_buttons;
};

} // namespace tamix
