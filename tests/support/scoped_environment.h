// Sets environment variables for one scope and restores them afterwards. A
// change of TZ takes effect at once (tzset), and so does its restoring.
#ifndef QMKUTILS_TESTS_SUPPORT_SCOPED_ENVIRONMENT_H_
#define QMKUTILS_TESTS_SUPPORT_SCOPED_ENVIRONMENT_H_

#include <time.h>

#include <map>
#include <string>

#include "qmkutils/platform/environment.h"

namespace qmk_test {

class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  ~ScopedEnvironment() {
    for (const auto& [name, value] : saved_) dp::Environment::Put(name, value);
    tzset();
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  // An empty value unsets the variable.
  ScopedEnvironment& Set(const std::string& name, const std::string& value) {
    saved_.try_emplace(name, dp::Environment::Get(name));
    dp::Environment::Put(name, value);
    tzset();
    return *this;
  }

 private:
  std::map<std::string, std::string> saved_;
};

}  // namespace qmk_test

#endif  // QMKUTILS_TESTS_SUPPORT_SCOPED_ENVIRONMENT_H_
