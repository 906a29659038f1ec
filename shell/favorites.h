// The Favorites menu: a walk over the favourites folder that turns every ".url" shortcut
// into a menu item and every folder holding some into a pop-up. The walk sees the file
// system and the menu only through the three interfaces below, so it needs nothing but
// the standard library and POSIX and runs in tests without Qt.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamix::shell {

// Favourite k has command id kFavoriteFirst + k; urls[k] is where it leads.
inline constexpr int kFavoriteFirst = 3584;

struct DirEntry {
    std::string name;
    bool directory = false;
};

// Lists one folder. A listing may or may not include "." and "..".
class FolderLister {
public:
    virtual ~FolderLister() = default;
    // nullopt when the folder cannot be listed.
    virtual std::optional<std::vector<DirEntry>> List(const std::string& folder) = 0;
};

class ShortcutReader {
public:
    virtual ~ShortcutReader() = default;
    // "" when the file cannot be read or names no URL.
    virtual std::string ReadUrl(const std::string& path) = 0;
};

class MenuBuilder {
public:
    virtual ~MenuBuilder() = default;
    virtual void AppendItem(int command, const std::string& caption) = 0;
    // An empty pop-up, filled before it is inserted, or dropped when it stays empty.
    virtual std::unique_ptr<MenuBuilder> NewSubMenu() = 0;
    virtual void InsertSubMenu(int position, const std::string& caption,
                               std::unique_ptr<MenuBuilder> sub) = 0;
};

// Fills menu from folder and its sub-folders and returns the next free favourite index.
// Expects first == urls.size(). A folder's pop-ups come first, then its own links; both are
// sorted by name without regard to ASCII case (letters compare as lower case), ties keep
// the listing order. Indices run in walk order: a folder's links in menu order, then each
// sub-folder's subtree in listing order. Hidden files (a leading ".") are skipped, except
// one named just ".url"; hidden folders are walked. Folders without links get no pop-up.
int FillFavoritesMenu(const std::string& folder, int first, MenuBuilder& menu,
                      std::vector<std::string>& urls, FolderLister& lister, ShortcutReader& reader);

// The URL of an Internet shortcut: the first URL key of the first [InternetShortcut]
// section, with section and key names in any ASCII case. The value is kept as written
// after the "=" and cut to at most 2,047 bytes on a character boundary. "" when absent.
std::string ParseShortcutUrl(std::string_view fileText);

// Lists a folder with readdir and never throws. A symbolic link counts as a file even
// when it points at a folder, so a link back up the tree cannot make the walk endless.
class FileSystemLister : public FolderLister {
public:
    std::optional<std::vector<DirEntry>> List(const std::string& folder) override;
};

// Reads a regular file (anything else, such as a pipe, gives "") and parses it.
class ShortcutFileReader : public ShortcutReader {
public:
    std::string ReadUrl(const std::string& path) override;
};

// The favourites folder: XDG_FAVORITES_DIR from $XDG_CONFIG_HOME/user-dirs.dirs (or
// $HOME/.config/user-dirs.dirs when XDG_CONFIG_HOME is unset or empty), with $NAME, ${NAME}
// and %NAME% taken from getenv (unknown names give ""). The value is read as one shell word:
// double quotes group, an unquoted blank ends it, a backslash keeps the next $ % " \ or `
// literal; the last assignment wins, as when the file is sourced by a shell. A missing
// file, key or empty value gives $HOME/Favorites.
std::string
FavoritesFolder(const std::function<std::optional<std::string>(const std::string&)>& getenv);

} // namespace tamix::shell
