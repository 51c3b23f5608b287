#include "qmkutils/platform/badalloc.h"

namespace dp {

const char* BadAlloc::what() const noexcept { return "bad allocation"; }

void ThrowBadAlloc() { throw BadAlloc(); }

}  // namespace dp
