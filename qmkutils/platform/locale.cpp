#include "qmkutils/platform/locale.h"

#include <clocale>
#include <iterator>
#include <mutex>
#include <string>

#include "qmkutils/platform/environment.h"
#include "qmkutils/platform/internal/forkhandlers.h"
#include "qmkutils/platform/internal/installation.h"
#include "qmkutils/platform/qminfo.h"

namespace dp {
namespace {

namespace in = installation;

struct Category {
  int id;
  const char* variable;
  bool holdsStrings;  // switched by LocalizeStrings
};

constexpr Category kCategories[] = {
    {LC_COLLATE, "LC_COLLATE", true},   {LC_CTYPE, "LC_CTYPE", true},
    {LC_MONETARY, "LC_MONETARY", true}, {LC_NUMERIC, "LC_NUMERIC", true},
    {LC_TIME, "LC_TIME", false},        {LC_MESSAGES, "LC_MESSAGES", false},
};
constexpr int kStringCategories = 4;
constexpr int kAllCategories = static_cast<int>(std::size(kCategories));
constexpr const char* kClassicLocale = "C";
constexpr const char* kFallbackLocale = "C.UTF-8";

// Constant-initialised and trivially destroyed: usable from exit handlers.
std::mutex s_lock;
// Guarded by s_lock.
int s_count = 0;
bool s_haveUserLocale = false;
std::string* s_userLocale = nullptr;  // kStringCategories names; never freed

// Held across fork, so that no child inherits it locked by a thread it does
// not have.
const fork::Registration s_forkRegistration(fork::Participant::kLocale,
                                            {[] { s_lock.lock(); }, [] { s_lock.unlock(); },
                                             [] { s_lock.unlock(); }});

std::mutex& LocaleLock() { return s_lock; }

std::string UserLocaleName(const Category& category) {
  for (const char* variable : {"LC_ALL", category.variable, "LANG"}) {
    std::string name = Environment::Get(variable);
    if (!name.empty()) return name;
  }
  return kClassicLocale;
}

// setlocale changes the whole process; the library's own calls to it are
// serialised by s_lock, or by the C library's lock where no count is kept.
const char* Select(int category, const char* name) {
  return std::setlocale(category, name);  // NOLINT(concurrency-mt-unsafe)
}

void SetStringCategories(const std::string* names) {
  for (int i = 0; i < kStringCategories; ++i) {
    (void)Select(kCategories[i].id, names == nullptr ? kClassicLocale : names[i].c_str());
  }
}

}  // namespace

Locale::Locale(bool localize) {
  if (localize) LocalizeStrings();
}

Locale::~Locale() {
  while (count_ > 0) InternationalizeStrings(false);
}

void Locale::InitStringLocale() {
  std::string names[kAllCategories];
  for (int i = 0; i < kAllCategories; ++i) names[i] = UserLocaleName(kCategories[i]);
  std::lock_guard<std::mutex> hold(LocaleLock());
  if (s_userLocale == nullptr) s_userLocale = new std::string[kStringCategories];
  s_haveUserLocale = true;
  for (int i = 0; i < kAllCategories; ++i) {
    const char* selected = Select(kCategories[i].id, names[i].c_str());
    if (!kCategories[i].holdsStrings) continue;
    if (selected == nullptr) {
      s_haveUserLocale = false;
    } else {
      s_userLocale[i] = selected;
    }
  }
  count_ = 0;
  s_count = 0;
  SetStringCategories(nullptr);
}

void Locale::LocalizeStrings() {
  ++count_;
  std::lock_guard<std::mutex> hold(LocaleLock());
  if (s_haveUserLocale && ++s_count == 1) SetStringCategories(s_userLocale);
}

void Locale::InternationalizeStrings(bool all) {
  std::lock_guard<std::mutex> hold(LocaleLock());
  bool backToClassic = all;
  if (all) {
    count_ = 0;
    s_count = 0;
  } else {
    if (count_ > 0) --count_;
    backToClassic = s_count > 0 && --s_count == 0;
  }
  if (backToClassic) SetStringCategories(nullptr);
}

int Locale::IsLocalizingStrings() const {
  std::lock_guard<std::mutex> hold(LocaleLock());
  return s_count;
}

void Locale::LocalizeLocale(int category) {
  std::string language;
  QmInfo::GetCurrentLanguage(&language);
  const in::Language* entry = in::FindLanguage(language);
  if (entry == nullptr) entry = &in::kLanguages[0];
  const std::string name(entry->posixLocale);
  if (Select(category, name.c_str()) == nullptr) (void)Select(category, kFallbackLocale);
}

void Locale::InternationalizeLocale(int category) { (void)Select(category, kClassicLocale); }

void Locale::SetUILang() {
  std::string language;
  QmInfo::GetCurrentLanguage(&language);
  const in::Language* entry = in::FindLanguage(language);
  if (entry == nullptr || entry->uiLanguage.empty()) return;
  Environment::Put(in::kUiLanguageVariable, std::string(entry->uiLanguage));
}

}  // namespace dp
