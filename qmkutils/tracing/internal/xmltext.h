// Text that keeps an XML trace log well-formed whatever a message holds.
// Internal; not installed.
#ifndef QMKUTILS_TRACING_INTERNAL_XMLTEXT_H_
#define QMKUTILS_TRACING_INTERNAL_XMLTEXT_H_

#include <string>
#include <string_view>

namespace dp::detail {

// Appends `text` as XML 1.0 character data, fit for element content and for
// an attribute value in double quotes. The markup characters become
// "&quot;", "&amp;", "&apos;", "&lt;" and "&gt;"; what XML 1.0 forbids
// becomes U+FFFD: a C0 control other than tab, line feed and carriage
// return, U+FFFE and U+FFFF, and each maximal invalid subpart of ill-formed
// UTF-8 (an encoded surrogate among them). Everything else is copied as it
// is, so clean text comes out byte for byte as it went in.
void AppendXmlText(std::string* out, std::string_view text);

// Appends a URI with each byte that may not stand in one as it is (a blank,
// '%', '"', '#', '?', '&', '<', '>', '[', ']', '\\', '^', '`', '{', '|',
// '}', a control or any byte above 0x7F) written as '%' and two upper-case
// hexadecimal digits, as a file URL spells such a path. Letters, digits and
// "-._~/:@!$'()*+,;=" are copied.
void AppendEscapedUri(std::string* out, std::string_view uri);

}  // namespace dp::detail

#endif  // QMKUTILS_TRACING_INTERNAL_XMLTEXT_H_
