// Localised messages by tag, filled with arguments.
//
// A `du::Localizer` names a resource "product:resource" and finds its
// strings files below the installation home (dp::QmInfo): the file of the
// current language and the English one, which serves instead when the
// first does not load and as a second catalogue for tags that the first
// lacks. With QUILL_LANG set to "pseudo" only the current language's file
// is used, each message pseudo-localised (qmkutils/utilities/pseudolocalize.h).
// Files are read once per process: localizers of one name share one
// implementation, kept until the process exits, so a file changed later is
// not seen; a resource that failed to load is tried again by the next
// localizer of its name.
//
// Failures never escape: a localizer that could not load traces
// "Localizer():- " and the error (an Error, key "du", sub-key "Localize")
// and stays empty; `LocalizeMessage` answers "<localization error>" (with
// kTraceFailure, tracing "LocalizeMessage():- " and the error as an Error)
// or an empty string (kQuietFailure). A primary file that fails to load
// is traced as a Warning before the English one is tried.
//
// `du::AssembleArgs` collects a message's arguments, from printf-style
// conversions or from values written to it as to a stream.
//
// Thread safety: localizers may be made, copied and used on any thread; the
// map of implementations is guarded by one lock, held across fork() so that
// a child may make localizers, and while an implementation loads its files.
// An AssembleArgs object belongs to one thread at a time.
#ifndef QMKUTILS_UTILITIES_LOCALIZER_H_
#define QMKUTILS_UTILITIES_LOCALIZER_H_

#include <ios>
#include <locale>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "qmkutils/memory/smartptr.h"
#include "qmkutils/platform/export.h"
#include "qmkutils/utilities/qmtrb.h"
#include "qmkutils/utilities/symbol.h"

namespace du {

enum ActionOnFailure {
  // Trace the error and answer "<localization error>".
  kTraceFailure = 0,
  // Answer an empty string.
  kQuietFailure = 1,
};

class QMK_EXPORT AssembleArgs {
 public:
  AssembleArgs();
  // Values written later are formatted in `locale`.
  explicit AssembleArgs(const std::locale& locale);
  // One argument per conversion of `format` (%% included, as "%"), each
  // formatted alone by dp::PrintfFormatter in a 512-byte buffer; the text
  // between conversions is dropped. A conversion the formatter refuses
  // gives an empty argument.
  explicit AssembleArgs(const char* format, ...) QMK_PRINTF_FORMAT(2, 3);
  AssembleArgs(AssembleArgs&&) noexcept;
  AssembleArgs& operator=(AssembleArgs&&) noexcept;
  ~AssembleArgs();

  // A value becomes the next argument when it writes any text; so an empty
  // string adds none. A failed write is forgotten, with what it wrote.
  template <class T>
  AssembleArgs& operator<<(const T& value) {
    const std::streampos before = stream_.tellp();
    stream_ << value;
    TakeWrittenText(before);
    return *this;
  }
  // So manipulators change how later values are written and add no
  // argument, unless they write text themselves: std::endl adds "\n". This
  // form takes the manipulators that are templates.
  AssembleArgs& operator<<(std::ostream& (*manipulator)(std::ostream&));

  const std::vector<std::string>& GetArgs() const { return args_; }

 private:
  void TakeWrittenText(std::streampos before);

  std::ostringstream stream_;
  std::vector<std::string> args_;
};

class LocalizerImpl;

class QMK_EXPORT Localizer {
 public:
  // A null resource gives an empty localizer.
  explicit Localizer(const char* resource);
  Localizer(const Localizer& other);
  Localizer& operator=(const Localizer& other);
  ~Localizer();

  std::string LocalizeMessage(const Symbol& tag, ActionOnFailure action = kTraceFailure) const;
  std::string LocalizeMessage(const Symbol& tag, const AssembleArgs& args,
                              ActionOnFailure action = kTraceFailure) const;

 private:
  SmartPtr<LocalizerImpl> impl_;
};

}  // namespace du

#endif  // QMKUTILS_UTILITIES_LOCALIZER_H_
