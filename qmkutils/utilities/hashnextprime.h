// Bucket counts for the library's hash tables.
//
// du::HashNextPrime(n) is the first value greater than n in one fixed table
// of primes (53, 97, 193, … 4294967291), each about twice the one before, so
// a table that grows through it doubles while keeping a prime bucket count.
// At or above the last prime it answers the last prime.
#ifndef QMKUTILS_UTILITIES_HASHNEXTPRIME_H_
#define QMKUTILS_UTILITIES_HASHNEXTPRIME_H_

#include "qmkutils/platform/export.h"

namespace du {

QMK_EXPORT unsigned HashNextPrime(unsigned n);

}  // namespace du

#endif  // QMKUTILS_UTILITIES_HASHNEXTPRIME_H_
