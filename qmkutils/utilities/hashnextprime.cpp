#include "qmkutils/utilities/hashnextprime.h"

#include <algorithm>
#include <iterator>

namespace du {
namespace {

constexpr unsigned kPrimes[] = {53,        97,         193,        389,       769,       1543,
                                3079,      6151,       12289,      24593,     49157,     98317,
                                196613,    393241,     786433,     1572869,   3145739,   6291469,
                                12582917,  25165843,   50331653,   100663319, 201326611, 402653189,
                                805306457, 1610612741, 3221225473, 4294967291};

}  // namespace

unsigned HashNextPrime(unsigned n) {
  const unsigned* next = std::upper_bound(std::begin(kPrimes), std::end(kPrimes), n);
  return next == std::end(kPrimes) ? *std::prev(next) : *next;
}

}  // namespace du
