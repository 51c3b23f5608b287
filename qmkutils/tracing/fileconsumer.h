// A trace consumer that writes a log file, as plain lines or as XML.
//
// A path ending in ".xml" (where the first ".xml" of the path is its last
// four characters) gives an XML log: a header naming the style sheet
// dp::QmInfo::GetQmTraceXslFile finds below the installation home (its URL
// percent-escaped), one <qmtrace:mesg> record per message, and a closing tag
// written when the consumer is released. The log stays well-formed whatever
// a message holds: in the text, key and sub-key the markup characters become
// entity references and what XML 1.0 forbids (most control characters,
// U+FFFE, U+FFFF, ill-formed UTF-8) becomes U+FFFD; clean text is written
// unchanged. Without a style sheet the log falls
// back to plain lines for good, and says so in its first line. Any other
// path gives plain lines (dp::AppendPlainTraceLine).
//
// The file is truncated when opened and stays readable by other processes.
// A file that cannot be opened, or a write that fails, makes the consumer
// refuse messages, so they go to the next older consumer instead.
//
// Lines are buffered, so a log costs no system call per line: the buffer is
// written when it fills, after every Warning or Error message, when a
// message arrives a second or more after the last write, and when the
// consumer is released; while the consumer is installed, the trace
// controller also writes it out every 200 ms and before every fork (so a
// child never writes its parent's lines a second time). A crash thus loses
// at most the last 200 ms of Info and Debug lines.
//
// A log that is not a regular file (a FIFO, a terminal, a socket) is written
// without ever waiting for its reader: what the reader does not take at once
// stays buffered for the next write, and while 1 MiB waits, new messages are
// dropped whole. Releasing the consumer writes what the reader takes at once
// and drops the rest, so a stopped reader never holds up a trace call or the
// program's exit.
#ifndef QMKUTILS_TRACING_FILECONSUMER_H_
#define QMKUTILS_TRACING_FILECONSUMER_H_

#include <cstdint>
#include <string>

#include "qmkutils/platform/export.h"
#include "qmkutils/tracing/traceconsumer.h"

namespace dp {

class QMK_EXPORT FileConsumer : public TraceConsumer {
 public:
  // The namespace of the XML log's elements; qmtrace/qmtrace.xsl matches it.
  static constexpr const char* kXmlNamespace = "urn:qmkutils:qmtrace:1";

  explicit FileConsumer(const std::string& path);
  ~FileConsumer() override;
  FileConsumer(const FileConsumer&) = delete;
  FileConsumer& operator=(const FileConsumer&) = delete;

  bool ConsumeMessage(const TraceFormatter* formatter) override;
  // Writes the XML header.
  void Install() override;
  // Writes the XML footer, closes the file and deletes the consumer.
  void Release() override;

  bool IsXml() const { return isXml_; }
  // The file is open and no write has failed.
  bool IsGood() const { return fd_ >= 0 && !failed_; }
  // Writes out the buffered lines.
  void Flush();

 private:
  void AppendXmlRecord(const TraceFormatter& formatter);
  void Close();

  bool isXml_;
  int fd_;
  // Regular files are written with blocking writes; anything else never
  // waits for its reader.
  bool waitsForReader_ = true;
  bool failed_ = false;
  std::string buffer_;
  int64_t lastFlushTime_ = 0;
};

}  // namespace dp

#endif  // QMKUTILS_TRACING_FILECONSUMER_H_
