// Name comparison and upper-casing in the user's locale, through the system's NLS calls.
#include "platform/vrnLocale.h"

int CompareTextLocale(UStringView a, UStringView b) {
  int result =
      ::CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE,
                       reinterpret_cast<const wchar_t*>(a.data()), static_cast<int>(a.size()),
                       reinterpret_cast<const wchar_t*>(b.data()), static_cast<int>(b.size()));
  return result - CSTR_EQUAL;
}

UString UpperCaseLocale(UStringView text) {
  UString result(text);
  if (!result.empty()) {
    ::CharUpperBuffW(reinterpret_cast<wchar_t*>(result.data()), static_cast<DWORD>(result.size()));
  }
  return result;
}
