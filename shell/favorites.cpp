#include "shell/favorites.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <fstream>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tamix::shell {

namespace {

constexpr std::size_t kMaxUrlBytes = 2047;

// A shortcut is a few hundred bytes; anything far larger is not one and is not worth
// holding in memory while the menu opens.
constexpr std::size_t kMaxShortcutFileBytes = 1 << 20;

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Unsigned bytes after folding A-Z to a-z, so names outside ASCII sort after ASCII ones.
bool GreaterIgnoringCase(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(LowerAscii(a[i]));
        const auto y = static_cast<unsigned char>(LowerAscii(b[i]));
        if (x != y) return x > y;
    }
    return a.size() > b.size();
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last + 1 - first);
}

bool IsLink(const DirEntry& entry) {
    const std::string& name = entry.name;
    if (entry.directory) return false;
    // ".url" alone is a link without a caption rather than a hidden file.
    if (!name.empty() && name[0] == '.' && name != ".url") return false;
    return name.size() >= 4 && name.compare(name.size() - 4, 4, ".url") == 0;
}

bool IsContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

std::size_t Utf8Length(unsigned char b) {
    if (b < 0x80) return 1;
    if (b >= 0xC0 && b < 0xE0) return 2;
    if (b >= 0xE0 && b < 0xF0) return 3;
    if (b >= 0xF0 && b < 0xF8) return 4;
    return 0;
}

// Cuts before a character the limit would split. Bytes that form no character are cut
// where the limit falls, so a run of stray continuation bytes cannot eat the value.
std::string_view CutUtf8(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    std::size_t cut = maxBytes;
    if (IsContinuation(static_cast<unsigned char>(text[cut]))) {
        for (std::size_t i = cut; i > 0 && cut - i < 3;) {
            const auto b = static_cast<unsigned char>(text[--i]);
            if (IsContinuation(b)) continue;
            if (Utf8Length(b) > cut - i) cut = i;
            break;
        }
    }
    return text.substr(0, cut);
}

bool IsNameChar(char c, bool first) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
           (!first && c >= '0' && c <= '9');
}

bool IsName(std::string_view text) {
    if (text.empty()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!IsNameChar(text[i], i == 0)) return false;
    return true;
}

using Getenv = std::function<std::optional<std::string>(const std::string&)>;

std::string Lookup(const Getenv& getenv, std::string_view name) {
    return getenv(std::string(name)).value_or(std::string());
}

// One shell-style word: double quotes group, an unquoted blank ends the word (whatever
// follows is a comment at best), a backslash keeps the next $ % " \ or ` literal.
std::string ExpandValue(std::string_view raw, const Getenv& getenv) {
    raw = Trim(raw);
    std::string out;
    bool quoted = false;
    std::size_t i = 0;
    while (i < raw.size()) {
        const char c = raw[i];
        if (c == '"') {
            quoted = !quoted;
            ++i;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            break;
        } else if (c == '\\' && i + 1 < raw.size() &&
                   std::string_view("$%\"\\`").find(raw[i + 1]) != std::string_view::npos) {
            out += raw[i + 1];
            i += 2;
        } else if (c == '$' && i + 1 < raw.size() && raw[i + 1] == '{') {
            const auto close = raw.find('}', i + 2);
            const auto name = close == std::string_view::npos ? std::string_view()
                                                              : raw.substr(i + 2, close - i - 2);
            if (IsName(name)) {
                out += Lookup(getenv, name);
                i = close + 1;
            } else {
                out += c;
                ++i;
            }
        } else if (c == '$') {
            std::size_t end = i + 1;
            while (end < raw.size() && IsNameChar(raw[end], end == i + 1))
                ++end;
            if (end > i + 1) {
                out += Lookup(getenv, raw.substr(i + 1, end - i - 1));
                i = end;
            } else {
                out += c;
                ++i;
            }
        } else if (c == '%') {
            const auto close = raw.find('%', i + 1);
            if (close != std::string_view::npos && IsName(raw.substr(i + 1, close - i - 1))) {
                out += Lookup(getenv, raw.substr(i + 1, close - i - 1));
                i = close + 1;
            } else {
                out += c;
                ++i;
            }
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

} // namespace

int FillFavoritesMenu(const std::string& folder, int first, MenuBuilder& menu,
                      std::vector<std::string>& urls, FolderLister& lister,
                      ShortcutReader& reader) {
    const std::string dir = !folder.empty() && folder.back() == '/' ? folder : folder + "/";
    const auto listing = lister.List(dir);
    if (!listing) return first;
    // Indices must match positions in urls even for a caller that passed a short list.
    if (first > 0 && urls.size() < static_cast<std::size_t>(first)) urls.resize(first);

    std::vector<std::string> captions;
    int next = first;
    for (const DirEntry& entry : *listing) {
        if (!IsLink(entry)) continue;
        std::string url = reader.ReadUrl(dir + entry.name);
        std::string caption = entry.name.substr(0, entry.name.size() - 4);
        const auto at = std::find_if(captions.begin(), captions.end(), [&](const auto& other) {
            return GreaterIgnoringCase(other, caption);
        });
        const auto offset = at - captions.begin();
        captions.insert(at, std::move(caption));
        urls.insert(urls.begin() + first + offset, std::move(url));
        ++next;
    }
    for (std::size_t i = 0; i < captions.size(); ++i)
        menu.AppendItem(kFavoriteFirst + first + static_cast<int>(i), captions[i]);

    // A second listing, so that the links above are numbered before any sub-folder's.
    const auto again = lister.List(dir);
    if (!again) return next;
    std::vector<std::string> subNames;
    for (const DirEntry& entry : *again) {
        const std::string& name = entry.name;
        // An empty name would walk the same folder again, forever.
        if (!entry.directory || name.empty() || name == "." || name == "..") continue;
        const auto at = std::find_if(subNames.begin(), subNames.end(), [&](const auto& other) {
            return GreaterIgnoringCase(other, name);
        });
        const int position = static_cast<int>(at - subNames.begin());
        auto sub = menu.NewSubMenu();
        const int end = FillFavoritesMenu(dir + name, next, *sub, urls, lister, reader);
        if (end == next) continue;
        next = end;
        menu.InsertSubMenu(position, name, std::move(sub));
        subNames.insert(subNames.begin() + position, name);
    }
    return next;
}

std::string ParseShortcutUrl(std::string_view fileText) {
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (fileText.substr(0, kByteOrderMark.size()) == kByteOrderMark)
        fileText.remove_prefix(kByteOrderMark.size());

    bool inShortcut = false;
    std::size_t start = 0;
    while (start <= fileText.size()) {
        auto end = fileText.find('\n', start);
        if (end == std::string_view::npos) end = fileText.size();
        std::string_view line = fileText.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

        const std::string_view trimmed = Trim(line);
        if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
            // Only the first shortcut section counts; once it ends there is nothing to find.
            if (inShortcut) return {};
            inShortcut =
                EqualIgnoringCase(Trim(trimmed.substr(1, trimmed.size() - 2)), "InternetShortcut");
            continue;
        }
        if (!inShortcut) continue;
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        if (!EqualIgnoringCase(Trim(line.substr(0, equals)), "URL")) continue;
        return std::string(CutUtf8(line.substr(equals + 1), kMaxUrlBytes));
    }
    return {};
}

std::optional<std::vector<DirEntry>> FileSystemLister::List(const std::string& folder) {
    DIR* handle = opendir(folder.c_str());
    if (!handle) return std::nullopt;
    std::optional<std::vector<DirEntry>> entries;
    try {
        std::vector<DirEntry> found;
        errno = 0;
        while (const dirent* entry = readdir(handle)) {
            DirEntry item{entry->d_name, entry->d_type == DT_DIR};
            if (entry->d_type == DT_UNKNOWN) {
                struct stat info {};
                item.directory =
                    fstatat(dirfd(handle), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISDIR(info.st_mode);
            }
            found.push_back(std::move(item));
            errno = 0;
        }
        // A listing that broke off part-way would hide favourites without a word.
        if (errno == 0) entries = std::move(found);
    } catch (...) {
        entries.reset();
    }
    closedir(handle);
    return entries;
}

std::string ShortcutFileReader::ReadUrl(const std::string& path) {
    // Non-blocking, so that a pipe named like a shortcut cannot stall the menu.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return {};
    std::string text;
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        try {
            char buffer[8192];
            while (text.size() < kMaxShortcutFileBytes) {
                const ssize_t got = read(fd, buffer, sizeof buffer);
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) break;
                text.append(buffer, static_cast<std::size_t>(got));
            }
        } catch (...) {
            text.clear();
        }
    }
    close(fd);
    return ParseShortcutUrl(text);
}

std::string FavoritesFolder(const Getenv& getenv) {
    const std::string home = Lookup(getenv, "HOME");
    std::string config = Lookup(getenv, "XDG_CONFIG_HOME");
    if (config.empty()) config = home + "/.config";
    const std::string fallback = home + "/Favorites";

    std::ifstream in(config + "/user-dirs.dirs", std::ios::binary);
    if (!in) return fallback;
    std::string value;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string_view text = Trim(line);
        if (text.empty() || text.front() == '#') continue;
        const auto equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        if (Trim(text.substr(0, equals)) != "XDG_FAVORITES_DIR") continue;
        value = ExpandValue(text.substr(equals + 1), getenv);
    }
    // An empty value would make the walk list the root folder.
    return value.empty() ? fallback : value;
}

} // namespace tamix::shell
