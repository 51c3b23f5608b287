#include "qmkutils/platform/environment.h"

#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string_view>

#include "qmkutils/platform/internal/environmentlock.h"
#include "qmkutils/platform/internal/forkhandlers.h"
#include "qmkutils/platform/internal/utf16.h"

namespace dp {
namespace {

// Constant-initialised and trivially destroyed, so it is usable during static
// initialisation and from exit handlers alike.
std::mutex s_environmentLock;

constexpr const char* kGetNeedsName = "dp::Environment::Get() expects name to be non-empty.";
constexpr const char* kPutNeedsName = "dp::Environment::Put() expects name to be non-empty.";
constexpr const char* kPutFailed = "dp::Environment::Put() failed to putenv().";

bool IsStorableName(std::string_view name) {
  return name.find('=') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

}  // namespace

// Held across fork, so that no child inherits it locked by a thread it does
// not have.
const fork::Registration s_forkRegistration(fork::Participant::kEnvironment,
                                            {[] { s_environmentLock.lock(); },
                                             [] { s_environmentLock.unlock(); },
                                             [] { s_environmentLock.unlock(); }});

std::mutex& env::EnvironmentLock() { return s_environmentLock; }

std::string Environment::Get(const std::string& name) {
  if (name.empty()) throw std::invalid_argument(kGetNeedsName);
  if (!IsStorableName(name)) return {};
  std::lock_guard<std::mutex> hold(env::EnvironmentLock());
  // Safe under the environment lock, like setenv and unsetenv below.
  const char* value = std::getenv(name.c_str());  // NOLINT(concurrency-mt-unsafe)
  return value ? std::string(value) : std::string();
}

std::string Environment::Get(const char* name) {
  if (name == nullptr) throw std::invalid_argument(kGetNeedsName);
  return Get(std::string(name));
}

std::wstring Environment::Get(const std::wstring& name) {
  if (name.empty()) throw std::invalid_argument(kGetNeedsName);
  return utf16::FromUtf8(Get(utf16::ToUtf8(name)));
}

void Environment::Put(const std::string& name, const std::string& value) {
  if (name.empty()) throw std::invalid_argument(kPutNeedsName);
  if (!IsStorableName(name) || value.find('\0') != std::string::npos) {
    throw std::runtime_error(kPutFailed);
  }
  std::lock_guard<std::mutex> hold(env::EnvironmentLock());
  const int result =
      value.empty() ? ::unsetenv(name.c_str())                   // NOLINT(concurrency-mt-unsafe)
                    : ::setenv(name.c_str(), value.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  if (result != 0) throw std::runtime_error(kPutFailed);
}

void Environment::Put(const char* name, const char* value) {
  if (name == nullptr) throw std::invalid_argument(kPutNeedsName);
  Put(std::string(name), value ? std::string(value) : std::string());
}

void Environment::Put(const std::wstring& name, const std::wstring& value) {
  if (name.empty()) throw std::invalid_argument(kPutNeedsName);
  Put(utf16::ToUtf8(name), utf16::ToUtf8(value));
}

}  // namespace dp
