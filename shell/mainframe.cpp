#include "shell/mainframe.h"

#include "app/tamixdoc.h"
#include "shell/busyanimation.h"
#include "shell/favorites.h"
#include "shell/lockkeys.h"
#include "shell/tamixview.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

namespace tamix::shell {

namespace {

constexpr int kImageWidth = 22;
constexpr int kImageHeight = 20;
const QColor kTransparent(255, 0, 255);

QPixmap Cut(const QPixmap& strip, int index) {
    QPixmap image = strip.copy(index * kImageWidth, 0, kImageWidth, kImageHeight);
    image.setMask(image.createMaskFromColor(kTransparent));
    return image;
}

// Normal and mouse-over images of one button.
QIcon ButtonIcon(const QPixmap& normal, const QPixmap& hot, int index) {
    QIcon icon;
    icon.addPixmap(Cut(normal, index), QIcon::Normal);
    icon.addPixmap(Cut(hot, index), QIcon::Active);
    return icon;
}

// The favourites walk builds into Qt menus through this.
class QtMenuBuilder : public MenuBuilder {
public:
    QtMenuBuilder(QMenu* menu, CMainFrame* frame) : menu_(menu), frame_(frame) {}

    void AppendItem(int command, const std::string& caption) override {
        QAction* item = menu_->addAction(QString::fromStdString(caption));
        QObject::connect(item, &QAction::triggered, frame_,
                         [frame = frame_, command] { frame->OnFavoriteCommand(command); });
    }
    std::unique_ptr<MenuBuilder> NewSubMenu() override {
        return std::make_unique<QtMenuBuilder>(new QMenu(), frame_);
    }
    void InsertSubMenu(int position, const std::string& caption,
                       std::unique_ptr<MenuBuilder> sub) override {
        QMenu* popup = static_cast<QtMenuBuilder*>(sub.get())->menu_;
        popup->setTitle(QString::fromStdString(caption));
        popup->setParent(menu_, popup->windowFlags());
        const QList<QAction*> actions = menu_->actions();
        menu_->insertMenu(position < actions.size() ? actions[position] : nullptr, popup);
    }
    ~QtMenuBuilder() override {
        // A pop-up never inserted (an empty sub-tree) has no parent and goes with us.
        if (!menu_->parent()) delete menu_;
    }

private:
    QMenu* menu_;
    CMainFrame* frame_;
};

} // namespace

CMainFrame::CMainFrame(app::CTamixDoc* document, QWidget* parent)
    : QMainWindow(parent), m_document(document) {
    setWindowIcon(QIcon(QStringLiteral(":/tamix/tamix.png")));
    setWindowTitle(m_document->Caption());
    connect(m_document, &app::CTamixDoc::titleChanged, this, &QWidget::setWindowTitle);
    CreateActions();
    CreateMenus();
    CreateToolBars();
    CreateStatusBar();
    resize(1024, 768);
}

CMainFrame::~CMainFrame() = default;

void CMainFrame::CreateActions() {
    struct ActionText {
        Command command;
        const char* text;
        QKeySequence shortcut;
        const char* tip;
        const char* prompt;
    };
    const ActionText texts[] = {
        {Command::FileOpen, "&Open...", QKeySequence(Qt::CTRL | Qt::Key_O), "Open",
         "Opens an existing document."},
        {Command::Print, "&Print...", QKeySequence(Qt::CTRL | Qt::Key_P), "Print",
         "Prints this document."},
        {Command::Close, "&Close", {}, "Close", "Closes the window."},
        {Command::ViewStatusBar,
         "&Status Bar",
         {},
         "Toggle Status Bar",
         "Shows or hides the status bar."},
        {Command::Stop, "Sto&p", QKeySequence(Qt::Key_Escape), "Stop", "Stops opening a file."},
        {Command::Refresh, "&Refresh", QKeySequence(Qt::Key_F5), "Refresh",
         "Refreshes the contents of the current page."},
        {Command::Back, "&Back", QKeySequence(Qt::ALT | Qt::Key_Left), "Back",
         "Goes back one step."},
        {Command::Forward, "&Forward", QKeySequence(Qt::ALT | Qt::Key_Right), "Forward",
         "Goes forward one step."},
        {Command::StartPage, "&Start Page", {}, "Start Page", "Opens your start page."},
        {Command::SearchWeb,
         "Search the &Web",
         {},
         "Search the Internet",
         "Opens your search page."},
        {Command::Favorites, "Favorites", {}, "Favorites", "View list of your personal favorites."},
        {Command::Font, "Font", {}, "Fonts", "Change font size."},
        {Command::FontLargest, "Lar&gest", {}, "Largest", "Change font size."},
        {Command::FontLarger, "&Larger", {}, "Larger", "Change font size."},
        {Command::FontMedium, "&Medium", {}, "Medium", "Change font size."},
        {Command::FontSmaller, "&Smaller", {}, "Smaller", "Change font size."},
        {Command::FontSmallest, "Sm&allest", {}, "Smallest", "Change font size."},
        {Command::PubmedSearch,
         "Search",
         {},
         "Search PubMed",
         "Searches PubMed for the keywords you enter."},
        {Command::PubmedDownload,
         "Download",
         {},
         "Download",
         "Lists the articles of the PubMed result page shown."},
    };
    for (const ActionText& spec : texts) {
        auto* action = new QAction(QString::fromUtf8(spec.text), this);
        action->setShortcut(spec.shortcut);
        action->setToolTip(QString::fromUtf8(spec.tip));
        action->setStatusTip(QString::fromUtf8(spec.prompt));
        m_actions[spec.command] = action;
    }
    // The shortcuts act wherever the focus is, in the page too.
    for (auto& [command, action] : m_actions)
        action->setShortcutContext(Qt::ApplicationShortcut);
    m_actions[Command::ViewStatusBar]->setCheckable(true);
    m_actions[Command::ViewStatusBar]->setChecked(true);
    connect(m_actions[Command::ViewStatusBar], &QAction::toggled, this,
            [this](bool on) { statusBar()->setVisible(on); });
    connect(m_actions[Command::Close], &QAction::triggered, this, &QWidget::close);
}

void CMainFrame::CreateMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(Action(Command::FileOpen));
    file->addAction(Action(Command::Print));
    file->addSeparator();
    file->addAction(Action(Command::Close));

    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    m_toolBar = new QToolBar(QStringLiteral("Toolbar"), this);
    QAction* toolbarToggle = m_toolBar->toggleViewAction();
    toolbarToggle->setText(QStringLiteral("&Toolbar"));
    toolbarToggle->setStatusTip(QStringLiteral("Shows or hides the toolbar."));
    m_actions[Command::ViewToolbar] = toolbarToggle;
    view->addAction(toolbarToggle);
    view->addAction(Action(Command::ViewStatusBar));
    view->addSeparator();
    QMenu* fonts = view->addMenu(QStringLiteral("F&onts"));
    const std::pair<Command, const char*> fontItems[] = {{Command::FontLargest, "Largest"},
                                                         {Command::FontLarger, "Large"},
                                                         {Command::FontMedium, "Medium"},
                                                         {Command::FontSmaller, "Small"},
                                                         {Command::FontSmallest, "Smallest"}};
    // The View menu names the sizes its own way; the same commands do the work.
    for (const auto& [command, text] : fontItems) {
        QAction* item = fonts->addAction(QString::fromUtf8(text));
        item->setStatusTip(Action(command)->statusTip());
        connect(item, &QAction::triggered, Action(command), &QAction::trigger);
    }
    view->addSeparator();
    view->addAction(Action(Command::Stop));
    view->addAction(Action(Command::Refresh));

    QMenu* go = menuBar()->addMenu(QStringLiteral("&Go"));
    go->addAction(Action(Command::Back));
    go->addAction(Action(Command::Forward));
    go->addSeparator();
    go->addAction(Action(Command::StartPage));
    go->addAction(Action(Command::SearchWeb));

    m_favoritesMenu = menuBar()->addMenu(QStringLiteral("F&avorites"));

    QMenu* pubmed = menuBar()->addMenu(QStringLiteral("PubMed"));
    pubmed->addAction(Action(Command::PubmedSearch));
    pubmed->addAction(Action(Command::PubmedDownload));

    m_fontMenu = new QMenu(this);
    for (Command command : {Command::FontLargest, Command::FontLarger, Command::FontMedium,
                            Command::FontSmaller, Command::FontSmallest})
        m_fontMenu->addAction(Action(command));
}

void CMainFrame::CreateToolBars() {
    const QPixmap normal(QStringLiteral(":/tamix/toolbar-normal.png"));
    const QPixmap hot(QStringLiteral(":/tamix/toolbar-hot.png"));
    m_toolBar->setObjectName(QStringLiteral("toolbar"));
    m_toolBar->setMovable(false);
    m_toolBar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    m_toolBar->setIconSize(QSize(kImageWidth, kImageHeight));
    const std::pair<Command, const char*> buttons[] = {{Command::Back, "Back"},
                                                       {Command::Forward, "Forward"},
                                                       {Command::Stop, "Stop"},
                                                       {Command::Refresh, "Refresh"},
                                                       {Command::StartPage, "Home"},
                                                       {Command::SearchWeb, "Search"},
                                                       {Command::Favorites, "Favorites"},
                                                       {Command::Print, "Print"},
                                                       {Command::Font, "Font"}};
    int index = 0;
    for (const auto& [command, text] : buttons) {
        QAction* action = Action(command);
        action->setIcon(ButtonIcon(normal, hot, index++));
        action->setIconText(QString::fromUtf8(text));
        m_toolBar->addAction(action);
        m_toolBar->widgetForAction(action)->setMinimumWidth(50);
    }
    // The faces of Favorites and Font do nothing; their arrows open the menus.
    for (const auto& [command, menu] :
         {std::pair{Command::Favorites, m_favoritesMenu}, std::pair{Command::Font, m_fontMenu}}) {
        auto* button = static_cast<QToolButton*>(m_toolBar->widgetForAction(Action(command)));
        button->setPopupMode(QToolButton::MenuButtonPopup);
        button->setMenu(menu);
    }
    auto* spacer = new QWidget(m_toolBar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    m_toolBar->addWidget(spacer);
    m_busyAnimation = new CBusyAnimation(QStringLiteral(":/tamix/busy.png"), m_toolBar);
    m_toolBar->addWidget(m_busyAnimation);
    addToolBar(Qt::TopToolBarArea, m_toolBar);

    addToolBarBreak(Qt::TopToolBarArea);
    m_addressBar = new QToolBar(QStringLiteral("Address"), this);
    m_addressBar->setObjectName(QStringLiteral("address"));
    m_addressBar->setMovable(false);
    m_addressBar->toggleViewAction()->setVisible(false);
    auto* label = new QLabel(QStringLiteral("Address"), m_addressBar);
    label->setContentsMargins(4, 0, 6, 0);
    m_addressBar->addWidget(label);
    m_addressBox = new QComboBox(m_addressBar);
    m_addressBox->setEditable(true);
    // The history grows by hand, one entry per Enter, duplicates and all.
    m_addressBox->setInsertPolicy(QComboBox::NoInsert);
    m_addressBox->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_addressBox->setMinimumWidth(200);
    label->setBuddy(m_addressBox);
    m_addressBar->addWidget(m_addressBox);
    addToolBar(Qt::TopToolBarArea, m_addressBar);
    // Enter is taken before the line edit sees it: in Qt 6.4 an unaccepted Return travels
    // on to the combo box, which hands it back to the line edit, and returnPressed comes
    // twice.
    m_addressBox->lineEdit()->installEventFilter(this);
    connect(m_addressBox, qOverload<int>(&QComboBox::activated), this,
            &CMainFrame::OnAddressSelected);
}

void CMainFrame::CreateStatusBar() {
    QStatusBar* bar = statusBar();
    const char* names[] = {"CAP", "NUM", "SCRL"};
    for (int i = 0; i < 3; ++i) {
        m_indicators[i] = new QLabel(QString::fromLatin1(names[i]), bar);
        m_indicators[i]->setAlignment(Qt::AlignCenter);
        m_indicators[i]->setMinimumWidth(
            m_indicators[i]->fontMetrics().horizontalAdvance(QStringLiteral("SCRL")) + 12);
        m_indicators[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        bar->addPermanentWidget(m_indicators[i]);
    }
    // "Ready" whenever no prompt is shown.
    connect(bar, &QStatusBar::messageChanged, this, [bar](const QString& message) {
        if (message.isEmpty()) bar->showMessage(QStringLiteral("Ready"));
    });
    bar->showMessage(QStringLiteral("Ready"));
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, &CMainFrame::UpdateLockIndicators);
    poll->start(250);
    UpdateLockIndicators();
}

void CMainFrame::UpdateLockIndicators() {
    const LockKeys keys = ReadLockKeys();
    const bool on[] = {keys.caps, keys.num, keys.scroll};
    for (int i = 0; i < 3; ++i)
        m_indicators[i]->setEnabled(on[i]);
}

void CMainFrame::SetView(CTamixView* view) {
    m_view = view;
    setCentralWidget(view);
    const auto wire = [&](Command command, void (CTamixView::*slot)()) {
        connect(Action(command), &QAction::triggered, view, slot);
    };
    wire(Command::FileOpen, &CTamixView::OnFileOpen);
    wire(Command::Print, &CTamixView::OnFilePrint);
    wire(Command::Stop, &CTamixView::OnViewStop);
    wire(Command::Refresh, &CTamixView::OnViewRefresh);
    wire(Command::Back, &CTamixView::OnGoBack);
    wire(Command::Forward, &CTamixView::OnGoForward);
    wire(Command::StartPage, &CTamixView::OnGoStartPage);
    wire(Command::SearchWeb, &CTamixView::OnGoSearchTheWeb);
    wire(Command::FontLargest, &CTamixView::OnViewFontsLargest);
    wire(Command::FontLarger, &CTamixView::OnViewFontsLarge);
    wire(Command::FontMedium, &CTamixView::OnViewFontsMedium);
    wire(Command::FontSmaller, &CTamixView::OnViewFontsSmall);
    wire(Command::FontSmallest, &CTamixView::OnViewFontsSmallest);
    wire(Command::PubmedSearch, &CTamixView::OnPubmedSearch);
    wire(Command::PubmedDownload, &CTamixView::OnPubmedDownload);
}

void CMainFrame::ShowPageLoading() {
    m_busyAnimation->Play();
}

void CMainFrame::ShowPageLoaded(const QString& url) {
    m_addressBox->setEditText(url);
    m_busyAnimation->Stop();
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_addressBox->lineEdit() && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            OnAddressEntered();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void CMainFrame::OnAddressEntered() {
    const QString address = m_addressBox->lineEdit()->text();
    if (m_view) m_view->Navigate2(address);
    m_addressBox->addItem(address);
    m_addressBox->setEditText(address);
}

void CMainFrame::OnAddressSelected(int index) {
    if (index >= 0 && m_view) m_view->Navigate2(m_addressBox->itemText(index));
}

void CMainFrame::OnFavoriteCommand(int command) {
    const long k = static_cast<long>(command) - kFavoriteFirst;
    if (k < 0 || k >= static_cast<long>(m_favoriteUrls.size()) || !m_view) return;
    m_view->Navigate2(QString::fromStdString(m_favoriteUrls[static_cast<std::size_t>(k)]));
}

void CMainFrame::FillFavorites(const std::string& folder) {
    m_favoritesMenu->clear();
    m_favoriteUrls.clear();
    QtMenuBuilder builder(m_favoritesMenu, this);
    FileSystemLister lister;
    ShortcutFileReader reader;
    FillFavoritesMenu(folder, 0, builder, m_favoriteUrls, lister, reader);
}

} // namespace tamix::shell
