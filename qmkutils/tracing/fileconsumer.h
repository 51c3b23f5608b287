// A trace consumer that writes a log file, as plain lines or as XML.
//
// A path ending in ".xml" (where the first ".xml" of the path is its last
// four characters) gives an XML log: a header naming the style sheet
// dp::QmInfo::GetQmTraceXslFile finds below the installation home, one
// <qmtrace:mesg> record per message with the text escaped, and a closing tag
// written when the consumer is released. Without a style sheet the log falls
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
  bool failed_ = false;
  std::string buffer_;
  int64_t lastFlushTime_ = 0;
};

}  // namespace dp

#endif  // QMKUTILS_TRACING_FILECONSUMER_H_
