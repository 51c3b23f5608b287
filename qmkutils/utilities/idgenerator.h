// Identifiers that are unique within a cycle and hard to guess.
//
// `du::IdGenerator` walks the residues modulo 2^bits (bits from 16 to 31; any
// other count means 2^32) with an odd step drawn at activation from a lagged
// Fibonacci generator seeded with the calendar time in seconds. An odd step
// visits every residue once, so the ids of one cycle never repeat: 2^bits − 1
// non-zero ids, after which the generator is spent and yields 0 for ever.
// Every id handed out is ORed with the high bits given at activation.
// Generators activated in the same second with the same arguments produce
// the same sequence.
//
// Not synchronised: one generator belongs to one thread at a time.
#ifndef QMKUTILS_UTILITIES_IDGENERATOR_H_
#define QMKUTILS_UTILITIES_IDGENERATOR_H_

#include <cstdint>

#include "qmkutils/platform/export.h"

namespace du {

class QMK_EXPORT IdGenerator {
 public:
  IdGenerator() : IdGenerator(32, 0) {}
  IdGenerator(unsigned bits, unsigned highBits) { Activate(bits, highBits); }

  // Starts a new cycle.
  void Activate(unsigned bits, unsigned highBits);
  // Spends the generator: every id is 0 from now on.
  void Inactivate();

  // Prefix forms advance, then give the new id; postfix forms give the
  // current id, then advance (a spent generator gives 0 and stays spent).
  unsigned operator++();
  unsigned operator++(int);
  unsigned operator--();
  unsigned operator--(int);

  // The current id, or 0 when spent.
  operator unsigned int() const;  // NOLINT(google-explicit-constructor)

 private:
  void Advance(std::uint32_t by);

  std::uint32_t step_ = 0;
  std::uint32_t current_ = 0;
  std::uint32_t highBits_ = 0;
  std::uint32_t modulus_ = 0;  // 0 stands for 2^32
};

}  // namespace du

#endif  // QMKUTILS_UTILITIES_IDGENERATOR_H_
