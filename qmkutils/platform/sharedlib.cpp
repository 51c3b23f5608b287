#include "qmkutils/platform/sharedlib.h"

#include <dlfcn.h>

#include <cstring>

#include "qmkutils/tracing/tracer.h"

namespace dp {
namespace {

const QMTracer s_trace("dp", "SharedLib");

// dlerror's text, or a fixed one when the loader gives none.
const char* LoaderError() {
  const char* text = ::dlerror();  // NOLINT(concurrency-mt-unsafe): per thread in glibc
  return text ? text : "unknown error";
}

void* Lookup(void* module, const char* symbol, const char* libraryName) {
  if (symbol == nullptr) return nullptr;
  ::dlerror();  // NOLINT(concurrency-mt-unsafe): clears this thread's error
  void* address = ::dlsym(module, symbol);
  if (address == nullptr) {
    s_trace("Could not find symbol \"%s\" in \"%s\": %s\n", symbol, libraryName, LoaderError());
  }
  return address;
}

}  // namespace

SharedLib::SharedLib(const char* name) { Reset(name); }

SharedLib::~SharedLib() {
  if (module_ != nullptr) ::dlclose(module_);
}

void* SharedLib::GetSymbolAddress(const char* symbol) const {
  return module_ ? Lookup(module_, symbol, name_.get()) : nullptr;
}

void* SharedLib::GetProcAddress(const char* symbol) {
  // The main program's handle stays valid for the process's life.
  static void* const s_mainProgram = ::dlopen(nullptr, RTLD_NOW | RTLD_LOCAL);
  return s_mainProgram ? Lookup(s_mainProgram, symbol, "main program") : nullptr;
}

bool SharedLib::Reset(const char* name) {
  void* module = nullptr;
  std::unique_ptr<char[]> kept;
  if (name != nullptr && *name != '\0') {
    const std::size_t size = std::strlen(name) + 1;
    kept = std::make_unique<char[]>(size);  // before the load: nothing to undo if it throws
    std::memcpy(kept.get(), name, size);
    module = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      s_trace("Could not load shared library \"%s\": %s\n", name, LoaderError());
      kept.reset();
    }
  }
  if (module_ != nullptr) ::dlclose(module_);
  module_ = module;
  name_ = std::move(kept);
  return module_ != nullptr;
}

}  // namespace dp
