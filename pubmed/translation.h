// The abstract's way to the translation service and the translation's way back.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tamix {

inline constexpr std::size_t kMaxSourceBytes = 1999;
// "--The translation above has been copied to the clipboard."
inline constexpr std::string_view kCopiedNote =
    "--\xE4\xBB\xA5\xE4\xB8\x8A\xE8\xAF\x91\xE6\x96\x87\xE5\xB7\xB2\xE5\xA4\x8D\xE5\x88\xB6"
    "\xE5\x88\xB0\xE5\x89\xAA\xE8\xB4\xB4\xE6\x9D\xBF\xE3\x80\x82";

// What is sent: from the first "Abstract" in the text (or its start), at most
// kMaxSourceBytes bytes.
std::string MakeTranslationSource(std::string_view abstract);

// The translation from the response's first run of \uXXXX escapes, as UTF-8;
// nothing when the response holds no "\u" at all (the service's error).
std::optional<std::string> DecodeTranslation(std::string_view response);

} // namespace tamix
