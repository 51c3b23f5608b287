// Switching the C library's string categories between "C" and the user's
// locale, in nested scopes.
//
// After InitStringLocale the collate, character-type, monetary and numeric
// categories are "C"; a `dp::Locale` switches them to the user's locale for
// a scope. The switches in force are counted process-wide: the first
// LocalizeStrings switches, the one InternationalizeStrings that brings the
// count back to 0 switches back, so nested scopes switch once. Each object
// also counts its own LocalizeStrings, and its destructor undoes those still
// in force. Counts never go below 0.
//
// The user's locale is what setlocale(LC_ALL, "") would select: for each
// category LC_ALL, else LC_<CATEGORY>, else LANG, else "C". The variables
// are read through dp::Environment, not by the C library, so a concurrent
// Environment::Put is no data race. When one of the four string categories
// cannot take its name (a locale that is not installed), no user locale is
// remembered and LocalizeStrings only counts.
//
// LocalizeLocale selects the current language's locale. Linux has no
// locales named "german", "japanese" and so on: each is taken to its
// xx_YY.UTF-8 name (english en_US, german de_DE, french fr_FR, italian
// it_IT, spanish es_ES, japanese ja_JP, korean ko_KR, chinese-simplified
// zh_CN, chinese-traditional zh_TW, russian ru_RU); when that is not
// installed the category becomes C.UTF-8, and when that fails too it stays
// as it was. SetUILang writes LANG with the product's own names ("german",
// "chs", ...), which the product's programs read; they are not Linux locale
// names, so the system language read later from LANG is then "en".
//
// Threads: the process-wide count and the switches it makes are serialised
// by one lock; an object and its count belong to one thread. setlocale
// changes the whole process, so, as the C library requires, other threads
// should not use locale-dependent functions while a switch happens. Fork:
// the lock is held across fork(), so a child may use Locale at once. Not
// async-signal-safe.
#ifndef QMKUTILS_PLATFORM_LOCALE_H_
#define QMKUTILS_PLATFORM_LOCALE_H_

#include <cstdint>

#include "qmkutils/platform/export.h"

namespace dp {

class QMK_EXPORT Locale {
 public:
  explicit Locale(bool localize = false);
  ~Locale();
  Locale(const Locale&) = delete;
  Locale& operator=(const Locale&) = delete;

  // Remembers the user's locale, resets this object's and the process-wide
  // counts to 0 and sets the four string categories to "C".
  void InitStringLocale();
  void LocalizeStrings();
  // With `all`, resets both counts; otherwise takes one from each.
  void InternationalizeStrings(bool all);
  // The process-wide count.
  int IsLocalizingStrings() const;

  static void LocalizeLocale(int category);
  static void InternationalizeLocale(int category);
  // Writes LANG for ja, de, fr, it, zh_TW, zh_CN, ko, es and ru; nothing
  // for any other language.
  static void SetUILang();

 private:
  std::int32_t count_ = 0;
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_LOCALE_H_
