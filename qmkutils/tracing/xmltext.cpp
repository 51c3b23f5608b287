#include "qmkutils/tracing/internal/xmltext.h"

#include "qmkutils/tracing/internal/utf8.h"

namespace dp::detail {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool IsXmlChar(char32_t codePoint) {
  return codePoint >= 0x20 ? codePoint != 0xFFFE && codePoint != 0xFFFF
                           : codePoint == '\t' || codePoint == '\n' || codePoint == '\r';
}

bool IsUriChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("-._~/:@!$'()*+,;=").find(c) != std::string_view::npos;
}

}  // namespace

void AppendXmlText(std::string* out, std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Step step = DecodeUtf8(text, i);
    if (!step.valid || !IsXmlChar(step.codePoint)) {
      out->append(kReplacement);
    } else if (step.codePoint == '"') {
      out->append("&quot;");
    } else if (step.codePoint == '&') {
      out->append("&amp;");
    } else if (step.codePoint == '\'') {
      out->append("&apos;");
    } else if (step.codePoint == '<') {
      out->append("&lt;");
    } else if (step.codePoint == '>') {
      out->append("&gt;");
    } else {
      out->append(text.substr(i, step.length));
    }
    i += step.length;
  }
}

void AppendEscapedUri(std::string* out, std::string_view uri) {
  constexpr char kHexDigits[] = "0123456789ABCDEF";
  for (char c : uri) {
    if (IsUriChar(c)) {
      out->push_back(c);
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out->push_back('%');
      out->push_back(kHexDigits[byte >> 4]);
      out->push_back(kHexDigits[byte & 0xF]);
    }
  }
}

}  // namespace dp::detail
