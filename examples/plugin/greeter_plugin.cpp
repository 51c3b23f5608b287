// A package library: the three entry points the installer looks up, and the
// components of module "greetings", data type "text": "Hello" and
// "Goodbye". It traces when it is initialised and terminated, naming its
// own file, so a host can follow the order of both.
#include <dlfcn.h>

#include <string>

#include "examples/plugin/greeter.h"
#include "qmkutils/installer/packagelibrary.h"
#include "qmkutils/tracing/tracer.h"

namespace {

const dp::QMTracer s_trace("greeter", "Package");

class Greeting final : public greeter::Greeter {
 public:
  explicit Greeting(const char* word) : word_(word) {}
  std::string Greet(const std::string& name) const override { return word_ + ", " + name + "!"; }

 private:
  std::string word_;
};

const char* OwnFile() {
  Dl_info info{};
  return dladdr(reinterpret_cast<void*>(&OwnFile), &info) != 0 ? info.dli_fname : "?";
}

}  // namespace

QMK_PACKAGE_EXPORT void QMDllInit() { s_trace(dp::Info, "init %s\n", OwnFile()); }

QMK_PACKAGE_EXPORT void QMDllCreateComponent(const char* module, const char* dataType,
                                             const char* function,
                                             du::SmartPtr<du::RefCounted>* out) {
  if (std::string(module) != "greetings" || std::string(dataType) != "text") return;
  const std::string name = function;
  if (name == "Hello" || name == "Goodbye") *out = new Greeting(name.c_str());
}

QMK_PACKAGE_EXPORT void QMDllTerminate() { s_trace(dp::Info, "terminate %s\n", OwnFile()); }
