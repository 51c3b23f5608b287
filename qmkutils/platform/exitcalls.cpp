#include "qmkutils/platform/exitcalls.h"

#include <cstdlib>
#include <cstring>

#include "qmkutils/platform/badalloc.h"

namespace dp {
namespace {

// The stack is an array of pointers to entries.
constexpr std::size_t kSlotSize = sizeof(ExitCallEntry*);  // NOLINT(bugprone-sizeof-expression)

}  // namespace

void ScheduleAtExitCall(TrackerStackImpl* stack, unsigned longevity, void (*call)()) {
  auto* grown =
      static_cast<ExitCallEntry**>(std::realloc(stack->array, kSlotSize * (stack->count + 1)));
  if (grown == nullptr) ThrowBadAlloc();
  stack->array = grown;
  auto* entry = static_cast<ExitCallEntry*>(std::malloc(sizeof(ExitCallEntry)));
  if (entry == nullptr) ThrowBadAlloc();
  entry->longevity = longevity;
  entry->call = call;

  // Upper bound under "greater longevity first": equal longevities stay
  // ahead of the new entry, so the newest of them pops first.
  unsigned low = 0;
  unsigned high = stack->count;
  while (low < high) {
    unsigned middle = low + (high - low) / 2;
    if (stack->array[middle]->longevity >= longevity) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  std::memmove(stack->array + low + 1, stack->array + low, kSlotSize * (stack->count - low));
  stack->array[low] = entry;
  ++stack->count;
}

void CancelAtExitCall(TrackerStackImpl* stack, void (*call)()) {
  for (unsigned i = 0; i < stack->count; ++i) {
    if (stack->array[i]->call == call) stack->array[i]->call = nullptr;
  }
}

void PopBack(TrackerStackImpl* stack) {
  ExitCallEntry* entry = stack->array[--stack->count];
  if (stack->count == 0) {
    std::free(stack->array);
    stack->array = nullptr;
  } else if (auto* shrunk = static_cast<ExitCallEntry**>(
                 std::realloc(stack->array, kSlotSize * stack->count))) {
    stack->array = shrunk;
  }
  void (*call)() = entry->call;
  std::free(entry);
  if (call != nullptr) call();
}

}  // namespace dp
