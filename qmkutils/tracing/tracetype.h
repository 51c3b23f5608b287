// The four kinds of trace message.
//
// Written by name ("Info", "Debug", "Warning", "Error"); writing any other
// value throws std::runtime_error("Unexpected TraceType in operator <<").
// The enumerators live in namespace dp (dp::Warning) and, equally, in the
// type (dp::TraceType::Warning).
#ifndef QMKUTILS_TRACING_TRACETYPE_H_
#define QMKUTILS_TRACING_TRACETYPE_H_

#include <cstdint>
#include <iosfwd>

#include "qmkutils/platform/export.h"

namespace dp {

enum TraceType : int32_t { Info = 0, Debug = 1, Warning = 2, Error = 3 };

// Marks a formatter that collects nothing and is never dispatched.
inline constexpr TraceType kInertTraceType = static_cast<TraceType>(-1);

// The type's name, or null for a value that is not one of the four.
QMK_EXPORT const char* GetTraceTypeName(TraceType type);

QMK_EXPORT std::ostream& operator<<(std::ostream& out, TraceType type);

}  // namespace dp

#endif  // QMKUTILS_TRACING_TRACETYPE_H_
