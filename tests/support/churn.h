// Random allocating and freeing for allocator tests. Every block is filled
// with the mark of its seed and checked before it is freed, so a block handed
// out twice while live, or overlapping another, shows.
#ifndef QMKUTILS_TESTS_SUPPORT_CHURN_H_
#define QMKUTILS_TESTS_SUPPORT_CHURN_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <random>
#include <utility>
#include <vector>

namespace qmk_test {

using LiveBlocks = std::vector<std::pair<char*, unsigned>>;

// `steps` times, allocates a block of `pickSize(random)` bytes, or, with odds
// of one in `freeOneIn` (always once `maxLive` blocks are live), frees a
// random live one. Returns the blocks still live.
template <class PickSize, class Allocate, class Free>
LiveBlocks Churn(unsigned seed, int steps, std::size_t maxLive, unsigned freeOneIn,
                 PickSize pickSize, Allocate allocate, Free free) {
  std::mt19937 random(seed);
  const char mark = static_cast<char>(seed);
  LiveBlocks live;
  for (int i = 0; i < steps; ++i) {
    if (live.size() < maxLive && (live.empty() || random() % freeOneIn != 0)) {
      const unsigned size = pickSize(random);
      auto* block = static_cast<char*>(allocate(size));
      if (block == nullptr) {
        ADD_FAILURE() << "no block of " << size << " bytes";
        break;
      }
      std::fill_n(block, size, mark);
      live.emplace_back(block, size);
    } else {
      const std::size_t victim = random() % live.size();
      const auto [block, size] = live[victim];
      if (size > 0 && (block[0] != mark || block[size - 1] != mark)) {
        ADD_FAILURE() << "a live block of " << size << " bytes was overwritten";
        break;
      }
      free(block, size);
      live[victim] = live.back();
      live.pop_back();
    }
  }
  return live;
}

}  // namespace qmk_test

#endif  // QMKUTILS_TESTS_SUPPORT_CHURN_H_
