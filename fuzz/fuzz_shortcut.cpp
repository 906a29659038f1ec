// The Internet shortcut (.url) reader of the Favorites menu.
#include "check.h"

#include "shell/favorites.h"

using namespace tamix;

namespace {

constexpr std::size_t kMaxUrlBytes = 2047;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view file = fuzz::Bytes(data, size);
    const std::string url = shell::ParseShortcutUrl(file);
    FUZZ_CHECK(url.size() <= kMaxUrlBytes);
    // Kept as written: a piece of one line of the file.
    FUZZ_CHECK(url.find('\n') == std::string::npos);
    FUZZ_CHECK(file.find(url) != std::string_view::npos);
    if (IsValidUtf8(file)) FUZZ_CHECK(IsValidUtf8(url));
    return 0;
}
