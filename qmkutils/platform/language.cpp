// The language operations of dp::QmInfo.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <string_view>

#include "qmkutils/platform/environment.h"
#include "qmkutils/platform/internal/asciitext.h"
#include "qmkutils/platform/internal/installation.h"
#include "qmkutils/platform/qminfo.h"
#include "qmkutils/tracing/tracer.h"

namespace dp {
namespace {

namespace in = installation;

const QMTracer s_trace("utils", "QmInfo");

// Set by the first GetCurrentLanguage of the process, which alone traces.
std::atomic<bool> s_languageTraced{false};

constexpr std::string_view kSystemLanguageVariables[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
constexpr std::string_view kCodesTakenAsTheyAre[] = {"de", "es", "fr", "it", "ja", "ko", "ru"};

// The system language, from the locale variables read as `ll[_CC]`.
std::string SystemLanguage() {
  std::string name;
  for (const std::string_view variable : kSystemLanguageVariables) {
    name = Environment::Get(std::string(variable));
    if (!name.empty()) break;
  }
  const std::string_view locale = std::string_view(name).substr(0, name.find_first_of(".@"));
  const auto underscore = locale.find('_');
  const std::string_view code = locale.substr(0, underscore);
  const std::string_view region =
      underscore == std::string_view::npos ? std::string_view() : locale.substr(underscore + 1);
  if (code == "zh") {
    if (region == "TW") return "zh_TW";
    if (region == "CN" || region == "SG") return "zh_CN";
    return in::kFallbackLanguage;
  }
  const auto* known =
      std::find(std::begin(kCodesTakenAsTheyAre), std::end(kCodesTakenAsTheyAre), code);
  return known == std::end(kCodesTakenAsTheyAre) ? std::string(in::kFallbackLanguage)
                                                 : std::string(code);
}

}  // namespace

bool QmInfo::GetCurrentLanguage(std::string* out) {
  if (out == nullptr) return false;
  std::string language = Environment::Get(in::kLanguageVariable);
  const bool overridden = !language.empty();
  if (!overridden) language = SystemLanguage();
  if (!s_languageTraced.exchange(true)) {
    if (overridden) {
      s_trace(Info, "Overriding system language to \"%s\".", language.c_str());
    } else {
      s_trace(Info, "Using system language\"%s\".", language.c_str());
    }
  }
  *out = std::move(language);
  return true;
}

bool QmInfo::GetDoingPseudoLocalization() {
  return ascii::EqualsIgnoringCase(Environment::Get(in::kLanguageVariable), in::kPseudoLanguage);
}

bool QmInfo::GetLanguageOffset(std::string* out, const std::string& language) {
  const in::Language* entry = in::FindLanguage(language);
  if (out == nullptr || entry == nullptr) return false;
  *out = entry->offset;
  return true;
}

bool QmInfo::GetLanguageOffset(std::string* out) {
  std::string language;
  if (out == nullptr || !GetCurrentLanguage(&language)) return false;
  if (!GetLanguageOffset(out, language)) *out = in::kDefaultLanguageOffset;
  return true;
}

}  // namespace dp
