// UTF-16 text, the one string type of the core, and its conversions at the edges.
//
// The core keeps every name and message as UString (UTF-16, char16_t). Windows API
// calls take it through AsWide (a reinterpretation: wchar_t is 2 bytes there). Linux
// edges convert: UTF-8 for file paths, FUSE and the terminal, UTF-32 wchar_t for the
// Linux build of the 7-Zip library. Invalid sequences become U+FFFD.
#pragma once

#include <string>
#include <string_view>

#include "platform/vrnWinTypes.h"

using UString = std::u16string;
using UStringView = std::u16string_view;

// The two halves of a UTF-16 surrogate pair.
inline bool IsHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
inline bool IsLowSurrogate(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string ToUtf8(UStringView text);
// Appends the UTF-8 bytes of a code point up to U+10FFFF (a surrogate's value too, as
// its three bytes).
void AppendUtf8(std::string& out, char32_t cp);
// UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
UString FromUtf8(std::string_view text);
// UTF-16 to the platform's wide string (UTF-16 on Windows, UTF-32 on Linux).
std::wstring ToWide(UStringView text);
// The platform's wide string to UTF-16. On Linux a unit in the surrogate range is taken
// as the UTF-16 half it is (libraries that widen UTF-16 unit by unit produce these).
UString FromWide(std::wstring_view text);

// The Win32 WCHAR string of this platform seen as UTF-16 (and back); no copy.
inline const char16_t* AsU16(const WCHAR* text) {
  return reinterpret_cast<const char16_t*>(text);
}
inline char16_t* AsU16(WCHAR* text) {
  return reinterpret_cast<char16_t*>(text);
}
inline const WCHAR* AsWChar(const char16_t* text) {
  return reinterpret_cast<const WCHAR*>(text);
}
inline WCHAR* AsWChar(char16_t* text) {
  return reinterpret_cast<WCHAR*>(text);
}
inline const WCHAR* AsWChar(const UString& text) {
  return AsWChar(text.c_str());
}

// The longest valid file name, in the platform's measure (NameMeasure): 259 UTF-16 code
// units on Windows, 255 UTF-8 bytes (the kernel's NAME_MAX) on Linux.
#if defined(_WIN32)
inline constexpr int kMaxNameLength = 259;
#else
inline constexpr int kMaxNameLength = 255;
#endif

// The length of a name as the platform limits it: UTF-16 code units on Windows, UTF-8
// bytes on Linux (a lone surrogate counts as the U+FFFD it is written as).
int NameMeasure(UStringView name);

// Decimal text of a signed or unsigned number, as UTF-16.
UString IntToUStr(long long value);

// Zeroes a copy of a secret (a password) where it lies, in a way the compiler keeps, and
// empties it.
void WipeText(UString& text);
// Hexadecimal text with a 0x prefix and at least Digits digits, upper case.
UString HexToUStr(unsigned long long value, int digits);
// Copies Source into Dest as lstrcpynW does: at most Size - 1 characters and a zero.
void CopyToBuffer(WCHAR* dest, std::size_t size, UStringView source);
