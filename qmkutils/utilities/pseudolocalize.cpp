#include "qmkutils/utilities/pseudolocalize.h"

#include <algorithm>
#include <string_view>

#include "qmkutils/platform/environment.h"
#include "qmkutils/platform/lockable.h"
#include "qmkutils/platform/singleton.h"
#include "qmkutils/utilities/internal/pseudolocalizesettings.h"
#include "qmkutils/utilities/widetext.h"

namespace du {
namespace {

constexpr std::size_t kTailLength = 11;
constexpr wchar_t kDefaultTail[kTailLength + 1] = {0x30BD, 0x2116, 0x5341, 0x7533, 0x52C9, 0x5F37,
                                                   0x906E, 0x7E2E, 0x7C9B, 0x5DCC, 0x63E1, 0};
constexpr std::wstring_view kSplit = L"|||";
// Destroyed before the symbol table and the trace controller, like the
// localizers that use them.
constexpr unsigned kLongevity = 0x10000000;

struct Settings {
  std::wstring tail;
  bool replaceChars;
};

Settings ReadSettings() {
  Settings settings{kDefaultTail, true};
  const std::wstring text = Utf8ToWideStr(dp::Environment::Get("PIGLATIN_TAIL"));
  if (!text.empty()) {
    settings.tail.clear();
    while (settings.tail.size() < kTailLength) settings.tail += text;
    settings.tail.resize(kTailLength);
  }
  settings.replaceChars = dp::Environment::Get("PIGLATIN_REPLACE_CHARS") != "false";
  return settings;
}

// The settings of the process, read when it first pseudo-localises.
class PseudoLocalizeSettings : public dp::ClassLevelLockable<PseudoLocalizeSettings> {
 public:
  Settings settings = ReadSettings();
};

unsigned GetLongevity(PseudoLocalizeSettings*) { return kLongevity; }

using SettingsSingleton = dp::Singleton<PseudoLocalizeSettings>;

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\n'; }

wchar_t Accented(wchar_t c) {
  switch (c) {
    case L'A':
      return 0x00C1;
    case L'E':
      return 0x00C9;
    case L'I':
      return 0x00CD;
    case L'O':
      return 0x00D6;
    case L'U':
      return 0x00DA;
    case L'a':
      return 0x00E1;
    case L'e':
      return 0x00E9;
    case L'i':
      return 0x00ED;
    case L'o':
      return 0x00F3;
    case L'u':
      return 0x00FC;
    default:
      return c;
  }
}

// Accents the vowels of every word but markup and "%%" words.
void AppendAccented(std::wstring& out, std::wstring_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t end = i;
    if (IsBlank(text[i])) {
      while (end < text.size() && IsBlank(text[end])) ++end;
      out.append(text.substr(i, end - i));
    } else {
      while (end < text.size() && !IsBlank(text[end])) ++end;
      const std::wstring_view word = text.substr(i, end - i);
      if (word.starts_with(L'<') || word.starts_with(L"%%")) {
        out.append(word);
      } else {
        for (const wchar_t c : word) out.push_back(Accented(c));
      }
    }
    i = end;
  }
}

std::wstring Corrupt(std::wstring_view whole, const Settings& settings) {
  const std::size_t split = std::min(whole.find(kSplit), whole.size());
  // length × 20 / 100, which never overflows as a fifth.
  const std::size_t tailLength = std::clamp<std::size_t>(whole.size() / 5, 1, kTailLength);
  std::wstring result;
  result.reserve(whole.size() + tailLength + 2);
  result.push_back(L'[');
  if (settings.replaceChars) {
    AppendAccented(result, whole.substr(0, split));
  } else {
    result.append(whole.substr(0, split));
  }
  result.append(settings.tail, 0, tailLength).push_back(L']');
  result.append(whole.substr(split));
  return result;
}

}  // namespace

namespace pseudo_localization {

void ReloadSettingsForTesting() { SettingsSingleton::Instance().settings = ReadSettings(); }

}  // namespace pseudo_localization

std::wstring CorruptMessage(const std::wstring& message) {
  if (message == L"yes" || message == L"YES" || message == L"SPG ANSWER YES") return L"YES";
  if (message == L"no" || message == L"NO" || message == L"SPG ANSWER NO") return L"NO";
  if (const PseudoLocalizeSettings* current = SettingsSingleton::InstanceIfAlive()) {
    return Corrupt(message, current->settings);
  }
  // At exit, once the settings are gone.
  return Corrupt(message, ReadSettings());
}

std::string CorruptMessage(const std::string& message) {
  return WideStrToUtf8(CorruptMessage(Utf8ToWideStr(message)));
}

}  // namespace du
