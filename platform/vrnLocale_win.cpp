// Name comparison and upper-casing in the user's locale, through the system's NLS calls.
#include "platform/vrnLocale.h"

int CompareTextLocale(UStringView a, UStringView b) {
  int result =
      ::CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE,
                       reinterpret_cast<const wchar_t*>(a.data()), static_cast<int>(a.size()),
                       reinterpret_cast<const wchar_t*>(b.data()), static_cast<int>(b.size()));
  return result - CSTR_EQUAL;
}

std::string MakeSortKey(UStringView text) {
  if (text.empty()) {
    return std::string();
  }
  const wchar_t* source = reinterpret_cast<const wchar_t*>(text.data());
  int size = ::LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY | NORM_IGNORECASE, source,
                            static_cast<int>(text.size()), nullptr, 0);
  std::string key(static_cast<std::size_t>(size), '\0');
  size =
      ::LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY | NORM_IGNORECASE, source,
                     static_cast<int>(text.size()), reinterpret_cast<wchar_t*>(key.data()), size);
  key.resize(size > 0 ? static_cast<std::size_t>(size - 1) : 0);  // without the final 0
  return key;
}

UString UpperCaseLocale(UStringView text) {
  UString result(text);
  if (!result.empty()) {
    ::CharUpperBuffW(reinterpret_cast<wchar_t*>(result.data()), static_cast<DWORD>(result.size()));
  }
  return result;
}
