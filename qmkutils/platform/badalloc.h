// Out-of-memory reporting.
//
// Every allocation failure of the library surfaces as a std::bad_alloc whose
// what() reads "bad allocation", whichever allocator failed, so that callers
// see one text for one condition.
#ifndef QMKUTILS_PLATFORM_BADALLOC_H_
#define QMKUTILS_PLATFORM_BADALLOC_H_

#include <new>

#include "qmkutils/platform/export.h"

namespace dp {

class QMK_EXPORT BadAlloc : public std::bad_alloc {
 public:
  const char* what() const noexcept override;
};

// Throws BadAlloc.
[[noreturn]] QMK_EXPORT void ThrowBadAlloc();

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_BADALLOC_H_
