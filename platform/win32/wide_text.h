// The engine keeps text as char16_t; the Windows API takes wchar_t, which is
// the same 16-bit unit there. These casts are the only place the two meet.
#pragma once

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t must be a UTF-16 code unit");

namespace tessaly::win32 {

inline const wchar_t* AsWide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
inline wchar_t* AsWide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }
inline const char16_t* AsUtf16(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }

}  // namespace tessaly::win32
