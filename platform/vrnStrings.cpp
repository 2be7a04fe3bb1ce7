#include "platform/vrnStrings.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Calls Emit with each code point of a UTF-16 text.
template <typename Emit>
void DecodeUtf16(UStringView text, Emit emit) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      emit(0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
      ++i;
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      emit(kReplacement);
    } else {
      emit(char32_t(c));
    }
  }
}

void AppendUtf16(UString& out, char32_t cp) {
  if (cp >= 0x10000 && cp <= 0x10FFFF) {
    cp -= 0x10000;
    out += char16_t(0xD800 + (cp >> 10));
    out += char16_t(0xDC00 + (cp & 0x3FF));
  } else if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    out += char16_t(kReplacement);
  } else {
    out += char16_t(cp);
  }
}

}  // namespace

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

std::string ToUtf8(UStringView text) {
  std::string out;
  out.reserve(text.size());
  DecodeUtf16(text, [&out](char32_t cp) { AppendUtf8(out, cp); });
  return out;
}

UString FromUtf8(std::string_view text) {
  static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  UString out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    int extra = lead < 0x80             ? 0
                : (lead & 0xE0) == 0xC0 ? 1
                : (lead & 0xF0) == 0xE0 ? 2
                : (lead & 0xF8) == 0xF0 ? 3
                                        : -1;
    bool ok = extra >= 0 && i + extra < text.size();
    char32_t cp = ok ? char32_t(lead & (0x7F >> extra)) : 0;
    for (int k = 1; ok && k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      ok = (next & 0xC0) == 0x80;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (!ok || cp < kMin[extra]) {
      out += char16_t(kReplacement);
      ++i;
      continue;
    }
    AppendUtf16(out, cp);
    i += extra + 1;
  }
  return out;
}

std::wstring ToWide(UStringView text) {
#if defined(_WIN32)
  return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size());
#else
  std::wstring out;
  out.reserve(text.size());
  DecodeUtf16(text, [&out](char32_t cp) { out += wchar_t(cp); });
  return out;
#endif
}

UString FromWide(std::wstring_view text) {
#if defined(_WIN32)
  return UString(reinterpret_cast<const char16_t*>(text.data()), text.size());
#else
  UString out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    char32_t cp = static_cast<char32_t>(c);
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      out += char16_t(cp);  // a UTF-16 half kept in a wide unit: its pair follows
    } else {
      AppendUtf16(out, cp);
    }
  }
  return out;
#endif
}

void WipeText(UString& text) {
#if defined(_WIN32)
  ::SecureZeroMemory(text.data(), text.size() * sizeof(char16_t));
#else
  ::explicit_bzero(text.data(), text.size() * sizeof(char16_t));
#endif
  text.clear();
}

UString IntToUStr(long long value) {
  std::string s = std::to_string(value);
  return UString(s.begin(), s.end());
}

UString HexToUStr(unsigned long long value, int digits) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  UString out;
  do {
    out.insert(out.begin(), kHex[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  while (static_cast<int>(out.size()) < digits) {
    out.insert(out.begin(), u'0');
  }
  return u"0x" + out;
}

void CopyToBuffer(WCHAR* dest, std::size_t size, UStringView source) {
  if (dest == nullptr || size == 0) {
    return;
  }
  std::size_t n = std::min(source.size(), size - 1);
  std::copy_n(source.data(), n, AsU16(dest));
  dest[n] = 0;
}

int NameMeasure(UStringView name) {
#if defined(_WIN32)
  return static_cast<int>(name.size());
#else
  int bytes = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char16_t c = name[i];
    if (c < 0x80) {
      bytes += 1;
    } else if (c < 0x800) {
      bytes += 2;
    } else if (IsHighSurrogate(c) && i + 1 < name.size() && IsLowSurrogate(name[i + 1])) {
      bytes += 4;
      ++i;
    } else {
      bytes += 3;  // the rest of the BMP; a lone surrogate is written as U+FFFD
    }
  }
  return bytes;
#endif
}
