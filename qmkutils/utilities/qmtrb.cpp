#include "qmkutils/utilities/qmtrb.h"

#include <fcntl.h>

#include <algorithm>
#include <ext/stdio_filebuf.h>

#include "qmkutils/platform/filesystem.h"
#include "qmkutils/utilities/hashnextprime.h"
#include "qmkutils/utilities/internal/stringsfile.h"
#include "qmkutils/utilities/pseudolocalize.h"

namespace du {
namespace {

namespace sf = strings_file;

constexpr unsigned kInitialBucketHint = 100;

}  // namespace

LocalizerError::LocalizerError(const std::string& what) : std::runtime_error(what) {}
LocalizerError::LocalizerError(const LocalizerError& other) = default;
LocalizerError& LocalizerError::operator=(const LocalizerError& other) = default;
LocalizerError::~LocalizerError() = default;

MessageTemplate::MessageTemplate(const Symbol& tag, std::string text)
    : tag_(tag), text_(std::move(text)) {
  std::size_t literalStart = 0;
  for (const sf::Placeholder& placeholder : sf::FindPlaceholders(text_)) {
    segments_.push_back({literalStart, placeholder.begin - literalStart, placeholder.index});
    expectedCount_ = std::max(expectedCount_, placeholder.index + 1);
    literalStart = placeholder.end;
  }
  segments_.push_back({literalStart, text_.size() - literalStart, -1});
}

void MessageTemplate::Write(std::ostream& out, const std::vector<std::string>& arguments) const {
  for (const Segment& segment : segments_) {
    out.write(text_.data() + segment.start, static_cast<std::streamsize>(segment.length));
    if (segment.argumentIndex >= 0) out << arguments[segment.argumentIndex];
  }
}

Qmtrb::Qmtrb(std::istream& in, PseudoLocalizeOption option)
    : positions_(HashNextPrime(kInitialBucketHint)) {
  sf::LineReader reader(in);
  sf::Line line;
  bool malformed = false;
  while (!malformed && reader.Next(line)) {
    if (line.kind == sf::LineKind::kComment) continue;
    if (line.kind != sf::LineKind::kEntry) {
      malformed = true;
      break;
    }
    if (line.Attribute() != sf::kValueAttribute) continue;
    const Symbol tag(line.Tag());
    if (!positions_.emplace(tag, templates_.size()).second) {
      throw LocalizerError(sf::QuotedError("Duplicate tag ", tag.view(), "."));
    }
    std::string text = sf::Unescape(line.RawValue());
    if (option == kPseudoLocalize) text = CorruptMessage(text);
    templates_.emplace_back(tag, std::move(text));
  }
  if (malformed || !reader.EndedCleanly() || templates_.empty()) {
    throw LocalizerError("No recognizable content.");
  }
}

SmartPtr<Qmtrb> Qmtrb::Open(const std::string& path, PseudoLocalizeOption option) {
  if (!dp::FileSystem::FileReadable(path.c_str())) {
    throw LocalizerError(sf::QuotedError("Couldn't read strings file resource ", path, "."));
  }
  // Opened close-on-exec, unlike std::ifstream; a failed open leaves the
  // stream bad, which no file survives.
  const int fd = dp::FileSystem::qmopen(path, O_RDONLY, 0);
  __gnu_cxx::stdio_filebuf<char> file(fd, std::ios::in | std::ios::binary);
  std::istream in(fd < 0 ? nullptr : &file);
  try {
    return SmartPtr<Qmtrb>(new Qmtrb(in, option));
  } catch (const LocalizerError& error) {
    std::string what = sf::QuotedError("Failed to load string resource file", path, " (");
    throw LocalizerError(what.append(error.what()).append(")."));
  }
}

const MessageTemplate* Qmtrb::FindTemplate(const Symbol& tag) const {
  const auto found = positions_.find(tag);
  return found == positions_.end() ? nullptr : &templates_[found->second];
}

void Qmtrb::BuildLocalizedString(std::ostream& out, const Symbol& tag) const {
  BuildLocalizedString(out, tag, {});
}

void Qmtrb::BuildLocalizedString(std::ostream& out, const Symbol& tag,
                                 const std::vector<std::string>& arguments) const {
  const MessageTemplate* found = FindTemplate(tag);
  if (found == nullptr) throw LocalizerError(sf::QuotedError("Unknown tag ", tag.view(), "."));
  const auto expected = static_cast<std::size_t>(found->GetExpectedArgumentCount());
  if (arguments.size() != expected) {
    std::string what = sf::QuotedError("could not build localized string for tag ", tag.view(),
                                       " (Incorrect number of arguments: got ");
    what.append(std::to_string(arguments.size()))
        .append(", expected ")
        .append(std::to_string(expected))
        .append(").");
    throw LocalizerError(what);
  }
  found->Write(out, arguments);
}

}  // namespace du
