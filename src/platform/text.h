// Text conversions: narrow text is UTF-8, wide text is UTF-16. Malformed input is never dropped
// silently: each bad sequence becomes U+FFFD (or its UTF-8 form).
#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// Fresh copies for code that must treat an absent input as text: an absent input converts as
// "(NULL)"; the plain duplicate treats it as empty text.
std::u16string WidenOrNull(const char* text);
std::string NarrowOrNull(const char16_t* text);
std::string DuplicateNarrow(const char* text);

// The text without the blanks and tabs around it.
std::string TrimBlanks(std::string_view text);

}  // namespace tarnwick
