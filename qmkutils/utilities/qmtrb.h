// One parsed strings file: message templates by tag.
//
// A strings file is UTF-8 text of lines "tag.attribute=value", with
// comment lines beginning with "#" and an optional byte-order mark; only
// entries whose attribute is "value" make templates, the others are read
// and ignored. Lines end with a line feed, one carriage return before it is
// dropped; a blank line is malformed, except the file's last line. A value
// resolves the escapes \" \? \\ \n \r \t; a backslash before anything else,
// or at the end, stays. Placeholders "{0}", "{1}", ... (digits only, up to
// 2147483646; anything else, such as "{x}", "{}" or "{4000000000}", is
// text) take the arguments of that index; a template expects the largest
// index + 1 arguments.
//
// Loading stops at the first malformed line; the file then does not load
// ("No recognizable content."), nor does one without any "value" entry, and
// a tag given twice raises "Duplicate tag \"tag\".". A tag is a du::Symbol,
// so it ends at a NUL byte.
//
// A `Qmtrb` is immutable once built, so any number of threads may build
// messages from it at once; it is shared by `du::SmartPtr`. Every failure
// is a `du::LocalizerError` with a fixed text.
#ifndef QMKUTILS_UTILITIES_QMTRB_H_
#define QMKUTILS_UTILITIES_QMTRB_H_

#include <istream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "qmkutils/memory/refcounted.h"
#include "qmkutils/memory/smartptr.h"
#include "qmkutils/platform/export.h"
#include "qmkutils/utilities/symbol.h"

namespace du {

struct QMK_EXPORT LocalizerError : std::runtime_error {
  explicit LocalizerError(const std::string& what);
  LocalizerError(const LocalizerError& other);
  LocalizerError& operator=(const LocalizerError& other);
  ~LocalizerError() override;
};

enum PseudoLocalizeOption {
  kNoPseudoLocalization = 0,
  // Every value goes through du::CorruptMessage before it is parsed.
  kPseudoLocalize = 1,
};

// One message: its text cut into segments, each a stretch of literal text
// followed by the argument of its index (-1: none, the last segment).
class QMK_EXPORT MessageTemplate {
 public:
  struct Segment {
    std::size_t start;
    std::size_t length;
    int argumentIndex;
  };

  MessageTemplate(const Symbol& tag, std::string text);

  const Symbol& GetTag() const { return tag_; }
  const std::string& GetText() const { return text_; }
  const std::vector<Segment>& GetSegments() const { return segments_; }
  int GetExpectedArgumentCount() const { return expectedCount_; }

  // Writes the text with its placeholders replaced; `arguments` holds
  // exactly the expected count.
  void Write(std::ostream& out, const std::vector<std::string>& arguments) const;

 private:
  Symbol tag_;
  std::string text_;
  std::vector<Segment> segments_;
  int expectedCount_ = 0;
};

class QMK_EXPORT Qmtrb : public virtual RefCounted {
 public:
  // Reads `in` until it ends or fails; throws LocalizerError when a tag
  // comes twice, and "No recognizable content." when reading stopped short
  // of the end or found no template.
  Qmtrb(std::istream& in, PseudoLocalizeOption option);

  // The strings file at `path`: "Couldn't read strings file resource
  // \"path\"." when it cannot be read; a loading error comes back as
  // "Failed to load string resource file\"path\" (error)."
  static SmartPtr<Qmtrb> Open(const std::string& path, PseudoLocalizeOption option);

  // Write the message of `tag` to `out`, after checking that the tag exists
  // ("Unknown tag \"tag\".") and that `arguments` holds as many arguments
  // as it expects ("could not build localized string for tag \"tag\"
  // (Incorrect number of arguments: got 1, expected 2)."); nothing is
  // written on failure. The first form gives no arguments.
  void BuildLocalizedString(std::ostream& out, const Symbol& tag) const;
  void BuildLocalizedString(std::ostream& out, const Symbol& tag,
                            const std::vector<std::string>& arguments) const;

  // The templates in the order of the file; null for an unknown tag.
  const std::vector<MessageTemplate>& GetTemplates() const { return templates_; }
  const MessageTemplate* FindTemplate(const Symbol& tag) const;

 private:
  std::vector<MessageTemplate> templates_;
  std::unordered_map<Symbol, std::size_t> positions_;
};

}  // namespace du

#endif  // QMKUTILS_UTILITIES_QMTRB_H_
