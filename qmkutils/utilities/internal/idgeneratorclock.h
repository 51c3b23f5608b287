// The clock that seeds du::IdGenerator, replaceable by tests. Internal; not
// installed.
#ifndef QMKUTILS_UTILITIES_INTERNAL_IDGENERATORCLOCK_H_
#define QMKUTILS_UTILITIES_INTERNAL_IDGENERATORCLOCK_H_

#include <cstdint>

#include "qmkutils/platform/export.h"

namespace du::id_generator {

// Calendar time in whole seconds.
using SecondsClock = std::int64_t (*)();

// Makes `clock` the seed of later activations; null restores the real clock.
// Not synchronised with activations on other threads.
QMK_EXPORT void SetClockForTesting(SecondsClock clock);

}  // namespace du::id_generator

#endif  // QMKUTILS_UTILITIES_INTERNAL_IDGENERATORCLOCK_H_
