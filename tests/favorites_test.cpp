#include "shell/favorites.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

namespace tamix::shell {
namespace {

namespace fs = std::filesystem;

// Records the menu as a tree: pop-ups print as name{...}, items as 'caption'#index, or as
// 'caption'=url when given the list the indices point into.
class RecordingMenu : public MenuBuilder {
public:
    struct Item {
        int command = 0;
        std::string caption;
        std::unique_ptr<RecordingMenu> sub;
    };
    std::vector<Item> items;

    void AppendItem(int command, const std::string& caption) override {
        items.push_back({command, caption, nullptr});
    }
    std::unique_ptr<MenuBuilder> NewSubMenu() override { return std::make_unique<RecordingMenu>(); }
    void InsertSubMenu(int position, const std::string& caption,
                       std::unique_ptr<MenuBuilder> sub) override {
        ASSERT_TRUE(position >= 0 && position <= static_cast<int>(items.size()));
        std::unique_ptr<RecordingMenu> recorded(static_cast<RecordingMenu*>(sub.release()));
        items.insert(items.begin() + position, {0, caption, std::move(recorded)});
    }
    std::string Render(const std::vector<std::string>* urls = nullptr) const {
        std::string out;
        for (const Item& item : items) {
            if (!out.empty()) out += ' ';
            const int index = item.command - kFavoriteFirst;
            if (item.sub)
                out += item.caption + "{" + item.sub->Render(urls) + "}";
            else
                out += "'" + item.caption + "'" +
                       (urls ? "=" + urls->at(index) : "#" + std::to_string(index));
        }
        return out;
    }
};

class Favorites : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tamix-favorites-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    void Write(const std::string& path, const std::string& text) {
        fs::create_directories((root_ / path).parent_path());
        std::ofstream(root_ / path, std::ios::binary) << text;
    }
    // Each link leads to its own path, so any index mix-up shows in urls.
    void Link(const std::string& path) { Write(path, "[InternetShortcut]\nURL=u:" + path + "\n"); }
    int Fill(const std::string& folder, int first = 0) {
        return FillFavoritesMenu(folder, first, menu_, urls_, lister_, reader_);
    }

    fs::path root_;
    RecordingMenu menu_;
    std::vector<std::string> urls_;
    FileSystemLister lister_;
    ShortcutFileReader reader_;
};

TEST_F(Favorites, WalksATreeWithPopUpsFirstAndIndicesInWalkOrder) {
    for (const char* path :
         {"b.url", "A.url", "c.url", ".url", "Alpha/a1.url", "Alpha/inner/deep.url", "zeta/z1.url",
          ".hidden/h.url", "only subs/child/c2.url", "dir.url/in.url"})
        Link(path);
    Write("nourl.url", "[InternetShortcut]\nIconFile=x.ico\n");
    for (const char* skipped : {".secret.url", "X.URL", "notes.txt", "url", "empty/e.txt"})
        Link(skipped);
    fs::create_directories(root_ / "empty/deeper");

    EXPECT_EQ(Fill(root_.string()), 11);
    // Each link shows the URL its index leads to, so no two links share an index.
    EXPECT_EQ(menu_.Render(&urls_),
              ".hidden{'h'=u:.hidden/h.url} Alpha{inner{'deep'=u:Alpha/inner/deep.url} "
              "'a1'=u:Alpha/a1.url} dir.url{'in'=u:dir.url/in.url} "
              "only subs{child{'c2'=u:only subs/child/c2.url}} zeta{'z1'=u:zeta/z1.url} "
              "''=u:.url 'A'=u:A.url 'b'=u:b.url 'c'=u:c.url 'nourl'=");
}

TEST_F(Favorites, ContinuesFromFirstAndSkipsWhatCannotBeListed) {
    Link("b.url");
    Link("sub/a.url");
    urls_ = {"0", "1", "2"};
    EXPECT_EQ(Fill(root_.string() + "/", 3), 5);
    EXPECT_EQ(menu_.Render(), "sub{'a'#4} 'b'#3");
    EXPECT_EQ(urls_, (std::vector<std::string>{"0", "1", "2", "u:b.url", "u:sub/a.url"}));

    RecordingMenu untouched;
    for (const std::string& folder : {(root_ / "missing").string(), (root_ / "b.url").string()})
        EXPECT_EQ(FillFavoritesMenu(folder, 5, untouched, urls_, lister_, reader_), 5);
    EXPECT_TRUE(untouched.items.empty());
    EXPECT_EQ(urls_.size(), 5u);
}

// Command numbers run on past the 512 a menu of old held.
TEST_F(Favorites, NumbersEveryLinkBeyond512) {
    char name[16];
    for (int i = 0; i < 600; ++i) {
        std::snprintf(name, sizeof name, "%03d.url", i);
        Link(name);
    }
    ASSERT_EQ(Fill(root_.string()), 600);
    ASSERT_EQ(menu_.items.size(), 600u);
    // Either side of 512, and the last.
    for (const int i : {0, 511, 512, 599}) {
        std::snprintf(name, sizeof name, "%03d.url", i);
        EXPECT_EQ(menu_.items[i].command, kFavoriteFirst + i);
        EXPECT_EQ(menu_.items[i].caption + ".url", name);
        EXPECT_EQ(urls_[i], std::string("u:") + name);
    }
}

TEST_F(Favorites, FollowsFileLinksButNotFolderLinksAndReadsOnlyFiles) {
    Link("real/a.url");
    fs::create_symlink(root_ / "real/a.url", root_ / "alias.url");
    fs::create_directory_symlink(root_, root_ / "real/loop");
    ASSERT_EQ(mkfifo((root_ / "pipe.url").c_str(), 0600), 0);
    EXPECT_EQ(Fill(root_.string()), 3);
    EXPECT_EQ(menu_.Render(&urls_), "real{'a'=u:real/a.url} 'alias'=u:real/a.url 'pipe'=");
}

// A scripted listing, for the one thing readdir cannot be made to do: a chosen order.
struct ScriptedLister : FolderLister {
    std::map<std::string, std::vector<DirEntry>> folders;
    std::optional<std::vector<DirEntry>> List(const std::string& folder) override {
        const auto found = folders.find(folder);
        if (found == folders.end()) return std::nullopt;
        return found->second;
    }
};

TEST_F(Favorites, SortsWithoutCaseKeepingListingOrderForTies) {
    for (const char* path :
         {"b.url", "B.url", "a.url", "_u.url", "zed/z.url", "Alpha/x.url", "alpha/y.url"})
        Link(path);
    const std::string dir = root_.string() + "/";
    ScriptedLister lister;
    auto& top = lister.folders[dir];
    top = {{"b.url"},     {"_u.url"},      {"a.url"},      {"B.url"},
           {"zed", true}, {"Alpha", true}, {"alpha", true}};
    lister.folders[dir + "zed/"] = {{"z.url"}};
    lister.folders[dir + "Alpha/"] = {{"x.url"}};
    lister.folders[dir + "alpha/"] = {{"y.url"}};

    ASSERT_EQ(FillFavoritesMenu(dir, 0, menu_, urls_, lister, reader_), 7);
    EXPECT_EQ(menu_.Render(), "Alpha{'x'#5} alpha{'y'#6} zed{'z'#4} '_u'#0 'a'#1 'b'#2 'B'#3");

    std::reverse(top.begin(), top.end());
    RecordingMenu reversed;
    urls_.clear();
    ASSERT_EQ(FillFavoritesMenu(dir, 0, reversed, urls_, lister, reader_), 7);
    EXPECT_EQ(reversed.Render(), "alpha{'y'#4} Alpha{'x'#5} zed{'z'#6} '_u'#0 'a'#1 'B'#2 'b'#3");
    EXPECT_EQ(urls_[2], "u:B.url") << "each URL at its link's place, not the listing's";
}

TEST(ShortcutUrl, TakesTheFirstUrlOfTheFirstShortcutSectionAsWritten) {
    const std::pair<const char*, const char*> cases[] = {
        {"\xEF\xBB\xBF  [ INTERNETSHORTCUT ]  \n \tUrl\t = http://c/a,b;c#d e \n",
         " http://c/a,b;c#d e "},
        {"[InternetShortcut]\nURL=one\r\r\nURL=two", "one\r"},
        {"URL=early\n[DEFAULT]\nBASEURL=x\nURL=other\n[InternetShortcut]\nURL=yes", "yes"},
        {"[InternetShortcut]\nIconFile=i\n[Other]\nURL=no\n[InternetShortcut]\nURL=no", ""},
        {"[InternetShortcut]\nURLS=no\nURL\n; URL=no\n", ""},
    };
    for (const auto& [text, url] : cases)
        EXPECT_EQ(ParseShortcutUrl(text), url) << text;
}

TEST(ShortcutUrl, CutsTo2047BytesOnACharacterBoundary) {
    const auto url = [](const std::string& value) {
        return ParseShortcutUrl("[InternetShortcut]\r\nURL=" + value + "\r\n");
    };
    const std::string a(2047, 'a');
    EXPECT_EQ(url(a + "bc"), a);
    EXPECT_EQ(url(a.substr(1) + "\xC3\xA9"), a.substr(1)) << "é would be split";
    EXPECT_EQ(url(a.substr(2) + "\xC3\xA9z"), a.substr(2) + "\xC3\xA9");
    EXPECT_EQ(url(a.substr(3) + "\xF0\x9F\x98\x80"), a.substr(3)) << "an emoji would be split";
    const std::string stray = a.substr(10) + std::string(12, '\x80');
    EXPECT_EQ(url(stray), stray.substr(0, 2047)) << "no character to keep whole";
}

TEST_F(Favorites, FolderComesFromUserDirsWithVariablesExpanded) {
    std::map<std::string, std::string> env{{"HOME", "/home/ann"},
                                           {"USER", "ann"},
                                           {"TEAM", "lab"},
                                           {"XDG_CONFIG_HOME", root_.string()}};
    const auto folder = [&] {
        return FavoritesFolder([&](const std::string& name) -> std::optional<std::string> {
            const auto found = env.find(name);
            if (found == env.end()) return std::nullopt;
            return found->second;
        });
    };
    const auto dirs = [&](const std::string& value) {
        Write("user-dirs.dirs", "# written by hand\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                                "XDG_FAVORITES_DIR=" +
                                    value + "\r\n#XDG_FAVORITES_DIR=/no\n");
    };
    EXPECT_EQ(folder(), "/home/ann/Favorites") << "no file";
    const std::pair<const char*, const char*> cases[] = {
        {"\"${HOME}/My Links\" # a comment", "/home/ann/My Links"},
        {"%HOME%/c", "/home/ann/c"},
        {"\"/d/$USER-%TEAM%-${USER}x/$NOPE%NOPE%${NOPE}\"", "/d/ann-lab-annx/"},
        {"\"/e/\\$HOME/a$/b%c${/d%\"", "/e/$HOME/a$/b%c${/d%"},
        {"\"\"", "/home/ann/Favorites"},
    };
    for (const auto& [value, expected] : cases) {
        dirs(value);
        EXPECT_EQ(folder(), expected) << value;
    }
    Write("user-dirs.dirs", "XDG_FAVORITES_DIR=/first\nXDG_FAVORITES_DIR=/last\n");
    EXPECT_EQ(folder(), "/last");

    env["HOME"] = root_.string();
    Write(".config/user-dirs.dirs", "XDG_FAVORITES_DIR=\"$HOME/Home Favs\"\n");
    env["XDG_CONFIG_HOME"] = "";
    EXPECT_EQ(folder(), root_.string() + "/Home Favs");
}

} // namespace
} // namespace tamix::shell
