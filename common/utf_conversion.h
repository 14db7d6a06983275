// UTF-8 <-> UTF-16 at the edges: Linux file names, hivex names, hive
// files written by the tools and the Linux console are UTF-8, the engine's
// text is UTF-16.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessaly {

// Strict: nullopt for malformed UTF-8 (overlong forms, encoded surrogates,
// code points above U+10FFFF, truncated sequences).
std::optional<std::u16string> Utf16FromUtf8(std::string_view text);
// The same into *out, reusing its storage; false (and *out unspecified) for malformed UTF-8.
bool Utf16FromUtf8(std::string_view text, std::u16string* out);

// Strict: nullopt for an unpaired surrogate.
std::optional<std::string> Utf8FromUtf16(std::u16string_view text);
// The same into *out, reusing its storage; false (and *out unspecified) for an unpaired surrogate.
bool Utf8FromUtf16(std::u16string_view text, std::string* out);

// For output only: an unpaired surrogate becomes U+FFFD.
std::string Utf8FromUtf16Lossy(std::u16string_view text);

}  // namespace tessaly
