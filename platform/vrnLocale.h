// Locale-aware, case-insensitive comparison and upper-casing of names.
//
// Every comparison of item names (order, lookup, uniqueness) goes through here so that
// the whole tree agrees on one order. Windows uses CompareStringW with NORM_IGNORECASE
// in the user's locale; Linux folds case and then uses an ICU collator of the user's
// locale at tertiary strength, so that only case is ignored (accents, full-width forms and
// superscripts are kept apart, as Windows keeps them).
#pragma once

#include <string>

#include "platform/vrnStrings.h"

// Compares two names as the user's locale orders them, ignoring case: negative when A
// sorts before B, 0 when they are equal, positive otherwise.
int CompareTextLocale(UStringView a, UStringView b);
// The collation key of a name: comparing two keys bytewise (memcmp, std::string's <)
// orders them exactly as CompareTextLocale orders the names, and equal keys mean equal
// names. Made once per name, it turns every later comparison into a byte compare.
std::string MakeSortKey(UStringView text);
// Upper-cases a name by the user's locale.
UString UpperCaseLocale(UStringView text);
