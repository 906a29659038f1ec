// The main window: menus, the tool bar row with the busy animation, the address row,
// the status bar, and the favourites menu.
#pragma once

#include <QMainWindow>
#include <QPointer>

#include <map>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QMenu;
class QToolBar;

namespace tamix::app {
class CTamixDoc;
}

namespace tamix::shell {

class CBusyAnimation;
class CTamixView;

// The commands of the menus, accelerators and tool bar.
enum class Command {
    FileOpen,
    Print,
    Close,
    ViewToolbar,
    ViewStatusBar,
    Stop,
    Refresh,
    Back,
    Forward,
    StartPage,
    SearchWeb,
    Favorites,
    Font,
    FontLargest,
    FontLarger,
    FontMedium,
    FontSmaller,
    FontSmallest,
    PubmedSearch,
    PubmedDownload
};

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    explicit CMainFrame(app::CTamixDoc* document, QWidget* parent = nullptr);
    ~CMainFrame() override;

    // The frame shows one view; its commands are wired to it here.
    void SetView(CTamixView* view);
    CTamixView* GetActiveView() const { return m_view; }

    // Before each navigation: the busy animation plays.
    void ShowPageLoading();
    // When a page has loaded: the address box shows url, the animation stops on frame 0.
    void ShowPageLoaded(const QString& url);

    // Favourite k is command kFavoriteFirst + k; unknown commands do nothing.
    void OnFavoriteCommand(int command);
    // Fills the favourites menu from the favourites folder (called once at creation).
    void FillFavorites(const std::string& folder);

    QAction* Action(Command command) const { return m_actions.at(command); }
    QComboBox* AddressBox() const { return m_addressBox; }
    CBusyAnimation* BusyAnimation() const { return m_busyAnimation; }
    QToolBar* ToolBar() const { return m_toolBar; }
    QMenu* FavoritesMenu() const { return m_favoritesMenu; }
    QMenu* FontMenu() const { return m_fontMenu; }
    const std::vector<std::string>& FavoriteUrls() const { return m_favoriteUrls; }
    QLabel* Indicator(int index) const { return m_indicators[index]; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateActions();
    void CreateMenus();
    void CreateToolBars();
    void CreateStatusBar();
    void OnAddressEntered();
    void OnAddressSelected(int index);
    void UpdateLockIndicators();

    std::vector<std::string> m_favoriteUrls;
    std::map<Command, QAction*> m_actions;
    QToolBar* m_toolBar = nullptr;
    QToolBar* m_addressBar = nullptr;
    QComboBox* m_addressBox = nullptr;
    CBusyAnimation* m_busyAnimation = nullptr;
    QMenu* m_favoritesMenu = nullptr;
    QMenu* m_fontMenu = nullptr;
    QLabel* m_indicators[3] = {};
    QPointer<CTamixView> m_view;
    app::CTamixDoc* m_document;
};

} // namespace tamix::shell
