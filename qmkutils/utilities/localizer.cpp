#include "qmkutils/utilities/localizer.h"

#include <cstdarg>
#include <map>
#include <string_view>
#include <utility>

#include "qmkutils/platform/filesystem.h"
#include "qmkutils/platform/internal/forkhandlers.h"
#include "qmkutils/platform/lockable.h"
#include "qmkutils/platform/qminfo.h"
#include "qmkutils/platform/singleton.h"
#include "qmkutils/platform/threadannotations.h"
#include "qmkutils/tracing/printfformatter.h"
#include "qmkutils/tracing/tracer.h"
#include "qmkutils/utilities/internal/stringsfile.h"

namespace du {

// A resource's catalogues: immutable once built.
class LocalizerImpl : public virtual RefCounted {
 public:
  LocalizerImpl(SmartPtr<Qmtrb> first, SmartPtr<Qmtrb> second)
      : first_(std::move(first)), second_(std::move(second)) {}

  // Writes the message from the first catalogue or else the second; the
  // last failure escapes. A catalogue that refuses writes nothing.
  void Build(std::ostream& out, const Symbol& tag, const std::vector<std::string>& args) const {
    try {
      first_->BuildLocalizedString(out, tag, args);
    } catch (const LocalizerError&) {
      if (!second_) throw;
      second_->BuildLocalizedString(out, tag, args);
    }
  }

 private:
  SmartPtr<Qmtrb> first_;
  SmartPtr<Qmtrb> second_;  // may be null
};

namespace {

constexpr const char* kLocalizationError = "<localization error>";
constexpr unsigned kFormatBufferSize = 512;
// Destroyed before the symbol table and the trace controller, which the
// catalogues and their loading use.
constexpr unsigned kLongevity = 0x10000000;

const dp::QMTracer s_trace("du", "Localize");

[[noreturn]] void NoStringsFile(const std::string& resource) {
  throw LocalizerError(
      strings_file::QuotedError("Couldn't find a strings file for resource ", resource, "."));
}

// Loads the catalogues of "product:resource" as the current language asks.
SmartPtr<LocalizerImpl> BuildImpl(const std::string& name) {
  const std::size_t colon = name.find(':');
  if (colon == std::string::npos) {
    throw LocalizerError(strings_file::QuotedError(
        "resource ", name, " appears to not be in <product>:<resource> format."));
  }
  const std::string product = name.substr(0, colon);
  const std::string resource = name.substr(colon + 1);
  std::string primary;
  const bool hasPrimary = dp::QmInfo::GetPrimaryQmtrbFile(&primary, product, resource);
  if (dp::QmInfo::GetDoingPseudoLocalization()) {
    if (!hasPrimary || !dp::FileSystem::FileExists(primary.c_str())) NoStringsFile(name);
    return SmartPtr<LocalizerImpl>(
        new LocalizerImpl(Qmtrb::Open(primary, kPseudoLocalize), nullptr));
  }
  std::string fallback;
  const bool hasFallback = dp::QmInfo::GetFallbackQmtrbFile(&fallback, product, resource);
  if (!hasPrimary) {
    if (!hasFallback) NoStringsFile(name);
    primary = fallback;
  }
  SmartPtr<Qmtrb> first;
  bool firstIsPrimary = true;
  try {
    first = Qmtrb::Open(primary, kNoPseudoLocalization);
  } catch (const LocalizerError& error) {
    if (!hasFallback) throw;
    s_trace(dp::Warning, "%s", error.what());
    first = Qmtrb::Open(fallback, kNoPseudoLocalization);
    firstIsPrimary = false;
  }
  SmartPtr<Qmtrb> second;
  if (firstIsPrimary && hasFallback && fallback != primary) {
    try {
      second = Qmtrb::Open(fallback, kNoPseudoLocalization);
    } catch (const LocalizerError& error) {
      s_trace(dp::Warning, "%s", error.what());
    }
  }
  return SmartPtr<LocalizerImpl>(new LocalizerImpl(std::move(first), std::move(second)));
}

// The implementations of the process by resource name. An implementation is
// built under the lock, so each name is loaded once even when threads race
// to be first.
class LocalizerRegistry : public dp::ClassLevelLockable<LocalizerRegistry> {
 public:
  SmartPtr<LocalizerImpl> Find(const std::string& name) {
    Lock guard;
    SmartPtr<LocalizerImpl>& impl = impls_[name];
    if (!impl) {
      try {
        impl = BuildImpl(name);
      } catch (...) {
        impls_.erase(name);
        throw;
      }
    }
    return impl;
  }

 private:
  std::map<std::string, SmartPtr<LocalizerImpl>> impls_;
};

unsigned GetLongevity(LocalizerRegistry*) { return kLongevity; }

// Held across fork(): a child forked while another thread loads a resource
// finds the lock free and the map whole.
const dp::fork::Registration s_forkRegistration(
    dp::fork::Participant::kLocalizers,
    {[]() QMK_NO_THREAD_SAFETY_ANALYSIS { LocalizerRegistry::ClassLock().Lock(); },
     []() QMK_NO_THREAD_SAFETY_ANALYSIS { LocalizerRegistry::ClassLock().Unlock(); },
     []() QMK_NO_THREAD_SAFETY_ANALYSIS { LocalizerRegistry::ClassLock().Unlock(); }});

SmartPtr<LocalizerImpl> SharedImpl(const std::string& name) {
  if (LocalizerRegistry* registry = dp::Singleton<LocalizerRegistry>::InstanceIfAlive()) {
    return registry->Find(name);
  }
  // At exit, once the map is gone: a private implementation.
  return BuildImpl(name);
}

// Ends the variadic arguments on every way out.
struct VaListEnd {
  dp::PrintfArgs& args;
  ~VaListEnd() { va_end(args.list); }
};

std::string Localize(const LocalizerImpl* impl, const Symbol& tag,
                     const std::vector<std::string>& args, ActionOnFailure action) {
  if (impl == nullptr) return action == kTraceFailure ? kLocalizationError : std::string();
  try {
    std::ostringstream out;
    impl->Build(out, tag, args);
    return std::move(out).str();
  } catch (const LocalizerError& error) {
    if (action != kTraceFailure) return std::string();
    s_trace(dp::Error, "LocalizeMessage():- %s", error.what());
    return kLocalizationError;
  }
}

}  // namespace

AssembleArgs::AssembleArgs() { args_.reserve(10); }

AssembleArgs::AssembleArgs(const std::locale& locale) : AssembleArgs() { stream_.imbue(locale); }

AssembleArgs::AssembleArgs(const char* format, ...) : AssembleArgs() {
  dp::PrintfArgs args;
  va_start(args.list, format);
  const VaListEnd end{args};
  dp::PrintfFormatter formatter(format, kFormatBufferSize);
  while (formatter.SkipToNextFormat()) {
    if (formatter.ProcessFormatSequence(args)) {
      args_.emplace_back(formatter.FormattedArgBegin(), formatter.FormattedArgEnd());
    } else {
      args_.emplace_back();
    }
  }
}

AssembleArgs::AssembleArgs(AssembleArgs&&) noexcept = default;
AssembleArgs& AssembleArgs::operator=(AssembleArgs&&) noexcept = default;
AssembleArgs::~AssembleArgs() = default;

AssembleArgs& AssembleArgs::operator<<(std::ostream& (*manipulator)(std::ostream&)) {
  const std::streampos before = stream_.tellp();
  stream_ << manipulator;
  TakeWrittenText(before);
  return *this;
}

void AssembleArgs::TakeWrittenText(std::streampos before) {
  if (!stream_) {
    stream_.clear();
    stream_.str(std::string());
    return;
  }
  if (stream_.tellp() > before) {
    args_.push_back(std::move(stream_).str());
    stream_.str(std::string());
  }
}

Localizer::Localizer(const char* resource) {
  if (resource == nullptr) return;
  try {
    impl_ = SharedImpl(resource);
  } catch (const LocalizerError& error) {
    s_trace(dp::Error, "Localizer():- %s", error.what());
  }
}

Localizer::Localizer(const Localizer& other) = default;
Localizer& Localizer::operator=(const Localizer& other) = default;
Localizer::~Localizer() = default;

std::string Localizer::LocalizeMessage(const Symbol& tag, ActionOnFailure action) const {
  return Localize(impl_.Get(), tag, {}, action);
}

std::string Localizer::LocalizeMessage(const Symbol& tag, const AssembleArgs& args,
                                       ActionOnFailure action) const {
  return Localize(impl_.Get(), tag, args.GetArgs(), action);
}

}  // namespace du
