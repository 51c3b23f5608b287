#include "qmkutils/tracing/fileconsumer.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "qmkutils/platform/qminfo.h"
#include "qmkutils/platform/timer.h"
#include "qmkutils/tracing/internal/tracetext.h"

namespace dp {

namespace {

constexpr std::size_t kFlushThreshold = 64 * 1024;
constexpr int64_t kFlushInterval = 1000;  // milliseconds

bool EndsInXml(const std::string& path) {
  const std::size_t first = path.find(".xml");
  return first != std::string::npos && first + 4 == path.size();
}

void AppendEscaped(std::string* out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '"':
        out->append("&quot;");
        break;
      case '&':
        out->append("&amp;");
        break;
      case '\'':
        out->append("&apos;");
        break;
      case '<':
        out->append("&lt;");
        break;
      case '>':
        out->append("&gt;");
        break;
      default:
        out->push_back(c);
    }
  }
}

// Opening never blocks: a FIFO nobody reads fails at once instead of
// hanging the program under the trace lock. Writes block as usual.
int OpenLog(const std::string& path) {
  int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
  if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace

FileConsumer::FileConsumer(const std::string& path) : isXml_(EndsInXml(path)), fd_(OpenLog(path)) {}

FileConsumer::~FileConsumer() { Close(); }

void FileConsumer::Install() {
  if (!IsGood()) return;
  std::string styleSheet;
  if (isXml_ && QmInfo::GetQmTraceXslFile(&styleSheet)) {
    buffer_.append("<?xml version=\"1.0\"?>\n<?xml-stylesheet type=\"text/xsl\" href=\"");
    buffer_.append(styleSheet);
    buffer_.append("\"?>\n<qmtrace:log xmlns:qmtrace=\"");
    buffer_.append(kXmlNamespace);
    buffer_.append("\">\n");
  } else if (isXml_) {
    isXml_ = false;
    buffer_.append("Error: Qmtrace XSL file not available. Trace will be plain text.\n");
  }
  Flush();
}

bool FileConsumer::ConsumeMessage(const TraceFormatter* formatter) {
  if (!IsGood()) return false;
  if (isXml_) {
    AppendXmlRecord(*formatter);
  } else {
    AppendPlainTraceLine(*formatter, &buffer_);
  }
  if (formatter->GetType() >= Warning || buffer_.size() >= kFlushThreshold ||
      formatter->GetTime() - lastFlushTime_ >= kFlushInterval) {
    lastFlushTime_ = formatter->GetTime();
    Flush();
  }
  return true;
}

void FileConsumer::AppendXmlRecord(const TraceFormatter& formatter) {
  const char* typeName = GetTraceTypeName(formatter.GetType());
  if (typeName == nullptr) return;
  buffer_.append("<qmtrace:mesg type = \"");
  buffer_.append(typeName);
  buffer_.append("\" time = \"");
  LocalTimeVal(formatter.GetTime()).AppendTo(&buffer_);
  buffer_.append("\">\n<qmtrace:id proc = \"");
  detail::AppendNumber(&buffer_, formatter.GetProcId());
  buffer_.append("\" thread = \"");
  detail::AppendNumber(&buffer_, formatter.GetThreadId());
  buffer_.append("\"/>\n<qmtrace:sourceid source = \"");
  detail::AppendName(&buffer_, formatter.GetKey());
  buffer_.append("\" subkey = \"");
  detail::AppendName(&buffer_, formatter.GetSubKey());
  buffer_.append("\"/>\n");
  AppendEscaped(&buffer_, formatter.GetMesgView());
  buffer_.append("</qmtrace:mesg>\n");
}

void FileConsumer::Flush() {
  std::size_t written = 0;
  while (IsGood() && written < buffer_.size()) {
    ssize_t n = ::write(fd_, buffer_.data() + written, buffer_.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      failed_ = true;
    }
  }
  buffer_.clear();
}

void FileConsumer::Release() {
  if (isXml_ && IsGood()) buffer_.append("</qmtrace:log>\n");
  delete this;
}

void FileConsumer::Close() {
  if (fd_ < 0) return;
  Flush();
  ::close(fd_);
  fd_ = -1;
}

}  // namespace dp
