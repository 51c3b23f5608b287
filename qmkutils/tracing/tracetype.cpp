#include "qmkutils/tracing/tracetype.h"

#include <ostream>
#include <stdexcept>

namespace dp {

const char* GetTraceTypeName(TraceType type) {
  switch (type) {
    case Info:
      return "Info";
    case Debug:
      return "Debug";
    case Warning:
      return "Warning";
    case Error:
      return "Error";
  }
  return nullptr;
}

std::ostream& operator<<(std::ostream& out, TraceType type) {
  const char* name = GetTraceTypeName(type);
  if (name == nullptr) throw std::runtime_error("Unexpected TraceType in operator <<");
  return out << name;
}

}  // namespace dp
