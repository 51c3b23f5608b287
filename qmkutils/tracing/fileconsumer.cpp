#include "qmkutils/tracing/fileconsumer.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qmkutils/platform/qminfo.h"
#include "qmkutils/platform/timer.h"
#include "qmkutils/tracing/internal/tracetext.h"
#include "qmkutils/tracing/internal/xmltext.h"

namespace dp {

namespace {

constexpr std::size_t kFlushThreshold = std::size_t{64} * 1024;
// What may wait for a slow reader of a log that is not a regular file.
constexpr std::size_t kMaxPending = std::size_t{1024} * 1024;
constexpr int64_t kFlushInterval = 1000;  // milliseconds

bool EndsInXml(const std::string& path) {
  const std::size_t first = path.find(".xml");
  return first != std::string::npos && first + 4 == path.size();
}

// Opening never blocks: a FIFO nobody reads fails at once instead of
// hanging the program under the trace lock. A regular file is then written
// with blocking writes; anything else stays non-blocking.
int OpenLog(const std::string& path, bool* regular) {
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
  struct stat status {};
  *regular = fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  if (*regular) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace

FileConsumer::FileConsumer(const std::string& path)
    : isXml_(EndsInXml(path)), fd_(OpenLog(path, &waitsForReader_)) {}

FileConsumer::~FileConsumer() { Close(); }

void FileConsumer::Install() {
  if (!IsGood()) return;
  std::string styleSheet;
  if (isXml_ && QmInfo::GetQmTraceXslFile(&styleSheet)) {
    buffer_.append("<?xml version=\"1.0\"?>\n<?xml-stylesheet type=\"text/xsl\" href=\"");
    detail::AppendEscapedUri(&buffer_, styleSheet);
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
  if (!waitsForReader_ && buffer_.size() >= kMaxPending) {
    Flush();
    if (buffer_.size() >= kMaxPending) return true;  // dropped: the reader lags too far
  }
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
  detail::AppendXmlText(&buffer_, formatter.GetKey() != nullptr ? formatter.GetKey() : "");
  buffer_.append("\" subkey = \"");
  detail::AppendXmlText(&buffer_, formatter.GetSubKey() != nullptr ? formatter.GetSubKey() : "");
  buffer_.append("\"/>\n");
  detail::AppendXmlText(&buffer_, formatter.GetMesgView());
  buffer_.append("</qmtrace:mesg>\n");
}

void FileConsumer::Flush() {
  std::size_t written = 0;
  while (IsGood() && written < buffer_.size()) {
    const ssize_t n = ::write(fd_, buffer_.data() + written, buffer_.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      buffer_.erase(0, written);  // the reader takes the rest later
      return;
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
