#include <unicode/ucol.h>
#include <unicode/uchar.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <cstdlib>
#include <string>

#include "platform/vrnLocale.h"

namespace {

// The ICU locale id of the user's locale (LC_ALL, LC_COLLATE, LANG), "root" for C/POSIX.
std::string UserLocaleId() {
  for (const char* name : {"LC_ALL", "LC_COLLATE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != 0) {
      std::string id(value);
      id = id.substr(0, id.find_first_of(".@"));
      return (id == "C" || id == "POSIX") ? std::string("root") : id;
    }
  }
  return "root";
}

// The process's one collator, opened on first use. ucol_strcoll is safe to call from
// several threads on one collator that nobody changes.
const UCollator* Collator() {
  static const UCollator* collator = [] {
    UErrorCode status = U_ZERO_ERROR;
    UCollator* result = ucol_open(UserLocaleId().c_str(), &status);
    if (U_FAILURE(status)) {
      status = U_ZERO_ERROR;
      result = ucol_open("root", &status);
    }
    // Tertiary strength tells apart everything but case, which FoldCase has taken out
    // beforehand: full-width and superscript forms stay distinct, as on Windows. At
    // secondary strength "\uFF21" and "A", or "file\u00B2" and "file2", would be one name.
    ucol_setStrength(result, UCOL_TERTIARY);
    return result;
  }();
  return collator;
}

// Text mapped by one of ICU's case functions, called as Map(destination, capacity,
// &status) and returning the length it needs; Text itself when ICU cannot map it.
template <typename Map>
UString MapCase(UStringView text, Map map) {
  UString result(text.size() + 8, u'\0');
  for (;;) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = map(result.data(), static_cast<int32_t>(result.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      result.resize(static_cast<std::size_t>(length));
      continue;
    }
    if (U_FAILURE(status)) {
      return UString(text);
    }
    result.resize(static_cast<std::size_t>(length));
    return result;
  }
}

// Text with its case folded away (full folding: "\u00DF" becomes "ss"), or Text itself
// when ICU cannot fold it.
UString FoldCase(UStringView text) {
  return MapCase(text, [&](UChar* out, int32_t capacity, UErrorCode* status) {
    return u_strFoldCase(out, capacity, text.data(), static_cast<int32_t>(text.size()),
                         U_FOLD_CASE_DEFAULT, status);
  });
}

}  // namespace

int CompareTextLocale(UStringView a, UStringView b) {
  UString foldedA = FoldCase(a);
  UString foldedB = FoldCase(b);
  return ucol_strcoll(Collator(), foldedA.data(), static_cast<int32_t>(foldedA.size()),
                      foldedB.data(), static_cast<int32_t>(foldedB.size()));
}

std::string MakeSortKey(UStringView original) {
  UString text = FoldCase(original);
  std::string key(text.size() * 3 + 16, '\0');
  for (;;) {
    int32_t length =
        ucol_getSortKey(Collator(), text.data(), static_cast<int32_t>(text.size()),
                        reinterpret_cast<uint8_t*>(key.data()), static_cast<int32_t>(key.size()));
    if (length <= static_cast<int32_t>(key.size())) {
      key.resize(length > 0 ? static_cast<std::size_t>(length - 1) : 0);  // without the final 0
      return key;
    }
    key.resize(static_cast<std::size_t>(length));
  }
}

UString UpperCaseLocale(UStringView text) {
  static const std::string locale = UserLocaleId();
  return MapCase(text, [&](UChar* out, int32_t capacity, UErrorCode* status) {
    return u_strToUpper(out, capacity, text.data(), static_cast<int32_t>(text.size()),
                        locale.c_str(), status);
  });
}
