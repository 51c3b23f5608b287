// One versioned file of an installable package, as a bill of material
// describes it, and the rules that compare versions.
//
// installer::InstallerItem is a value read from, and written to, the lines
// of a bom record (see installerpackage.h for the record format). A build is
// four signed numbers, where -1 in a position means "any"; a version is two.
// Both start at 0 until a record sets them. An item belongs to one package;
// it is not synchronised.
//
// Reading is strict: a number that is not a decimal integer in 32 bits, a
// missing or extra part, or a line that does not fit its key sets the
// stream's fail bit, which ends the record being read.
#ifndef QMKUTILS_INSTALLER_INSTALLERITEM_H_
#define QMKUTILS_INSTALLER_INSTALLERITEM_H_

#include <istream>
#include <ostream>
#include <string>
#include <string_view>

#include "qmkutils/platform/export.h"

namespace installer {

class QMK_EXPORT InstallerItem {
 public:
  InstallerItem() = default;

  // True when this item's build begins -1.-1, or when every number of
  // `other`'s build is -1; otherwise true at the first of the four build
  // numbers that differs, false when all are equal. Traces each step.
  bool ShouldUpgrade(const InstallerItem& other) const;
  // False when build[0] is not this item's first build number; otherwise
  // positions 1 to 3 in order: the caller's greater gives true, smaller
  // false; all equal gives true.
  bool BuildCompatible(const int build[4]) const;
  // Positions 0 to 3 in order: the caller's greater gives false, smaller
  // true; all equal gives true.
  bool IsBuildCompatible(const int build[4]) const;
  void GetCurrentBuild(int build[4]) const;

  const std::string& GetComponentName() const { return componentName_; }
  const std::string& GetStartScript() const { return startScript_; }
  const int* GetVersion() const { return version_; }
  const int* GetBuild() const { return build_; }
  bool IsDependency() const { return isDependency_; }
  bool IsExecutable() const { return isExecutable_; }
  bool IsLocaleDependent() const { return isLocaleDependent_; }

  // Reads the rest of a record line whose key (i, b, e, l, s, d or S) and
  // blank were consumed, up to and including its line end.
  void SerialInput(std::istream& in, char key);
  // A dependency as one "d" line; otherwise the "i" and "b" lines, and the
  // "e" (executable) or "l" line when the item has a name.
  void SerialOutput(std::ostream& out) const;

 private:
  std::string componentName_;
  int version_[2] = {0, 0};
  int build_[4] = {0, 0, 0, 0};
  bool isDependency_ = false;
  bool isExecutable_ = false;
  bool isLocaleDependent_ = false;
  std::string startScript_;
};

// "1.2.3.4": the numbers joined by ".".
QMK_EXPORT std::string JoinNumbers(const int* numbers, int count);
// The reverse: exactly `count` decimal 32-bit integers joined by ".", each
// may be negative, nothing before or after. False (and `numbers` partly
// written) otherwise.
QMK_EXPORT bool ParseNumbers(std::string_view text, int* numbers, int count);

}  // namespace installer

#endif  // QMKUTILS_INSTALLER_INSTALLERITEM_H_
