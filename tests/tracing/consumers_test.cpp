#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "qmkutils/platform/timer.h"
#include "qmkutils/tracing/fileconsumer.h"
#include "qmkutils/tracing/plaintraceline.h"
#include "qmkutils/tracing/tracecontroller.h"
#include "qmkutils/tracing/tracer.h"
#include "qmkutils/tracing/viewerendpoint.h"
#include "qmkutils/tracing/windowconsumer.h"
#include "support/child_process.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using testing::HasSubstr;

constexpr int64_t k20261206At090507042Utc = 1796547907042;

// Trace lines show local time: pin the zone for exact expectations.
class LocalTimeInUtc : public testing::Test {
 protected:
  LocalTimeInUtc() { environment_.Set("TZ", "UTC"); }
  qmk_test::ScopedEnvironment environment_;
};

dp::TraceFormatter Message(dp::TraceType type, const char* text,
                           int64_t time = k20261206At090507042Utc, int procId = 12,
                           int threadId = 34, const char* key = "key", const char* subKey = "sub") {
  dp::TraceFormatter formatter(time, type, procId, threadId, key, subKey);
  formatter << text;
  return formatter;
}

// Formatters built here are inspected, not dispatched.
void Discard(dp::TraceFormatter& formatter) {
  formatter = dp::TraceFormatter(0, dp::kInertTraceType, 0, 0, "", "");
}

std::string PlainLine(dp::TraceFormatter message) {
  std::string line;
  dp::AppendPlainTraceLine(message, &line);
  Discard(message);
  return line;
}

bool Consume(dp::TraceConsumer* consumer, dp::TraceFormatter message) {
  const bool taken = consumer->ConsumeMessage(&message);
  Discard(message);
  return taken;
}

// Empty names, blanks in the text and times of any moment (a year before 0,
// one the C library cannot convert) read back field for field.
TEST_F(LocalTimeInUtc, PlainLinesHaveAFixedLayoutReadBackExactlyAndShowOnlyVisibleText) {
  EXPECT_EQ(PlainLine(Message(dp::Warning, "a\nb\n")) + PlainLine(Message(dp::Info, "")),
            "Warning 9:5:07.042  6 Dec 2026 12 34 key sub a b \n"
            "Info    9:5:07.042  6 Dec 2026 12 34 key sub \n");
  for (int64_t moment : {int64_t{-70000000000000}, INT64_MIN, INT64_MAX}) {
    const std::string line =
        PlainLine(Message(dp::Debug, "  two  blanks\n", moment, -7, INT_MAX, "", nullptr));
    dp::PlainTraceLine fields;
    ASSERT_TRUE(dp::ParsePlainTraceLine(line, &fields)) << line;
    std::string time;
    dp::LocalTimeVal(moment).AppendTo(&time);
    EXPECT_EQ(std::make_tuple(fields.type, fields.time, fields.procId, fields.threadId, fields.key,
                              fields.subKey, fields.text),
              std::make_tuple(dp::Debug, time, -7, INT_MAX, "", "", "  two  blanks "));
  }

  const std::string tail = " 12 34 key sub text";
  const std::string malformed[] = {"",
                                   "Fatal   9:5:07.042  6 Dec 2026" + tail,
                                   "Info   9:5:07.042  6 Dec 2026" + tail,
                                   "Info    9:5:07.0420  6 Dec 2026" + tail,
                                   "Info    9:5:07.042  6 12 2026" + tail,
                                   "Info    9:5:07.042  6 Dec" + tail,
                                   "Info    9:5:07.042  6 Dec 2026 12x 34 key sub text",
                                   "Info    9:5:07.042  6 Dec 2026 99999999999 34 key sub text",
                                   "Info    9:5:07.042  6 Dec 2026 12 34 key sub",
                                   "Info    9:5:07.042  6 Dec 2026 12 34 key sub two\nlines"};
  for (const std::string& line : malformed) {
    dp::PlainTraceLine untouched;
    untouched.key = "unchanged";
    EXPECT_FALSE(dp::ParsePlainTraceLine(line, &untouched)) << line;
    EXPECT_EQ(untouched.key, "unchanged");
  }
  EXPECT_THROW(std::ostringstream() << static_cast<dp::TraceType>(7), std::runtime_error);

  // Visible text escapes all a terminal acts on, and nothing else.
  const std::pair<std::string, std::string> cases[] = {
      {"Grüße € 😀 \t~ \u00a0", "Grüße € 😀 \t~ \u00a0"},
      {"\x1b]0;x\x07 \x01\x7f\n\r", "\\x1b]0;x\\x07 \\x01\\x7f\\x0a\\x0d"},
      {"\xC2\x80 \xC2\x85 \xC2\x9F", "\\u0080 \\u0085 \\u009f"},
      // Stray, overlong, surrogate, above U+10FFFF, truncated at a blank and at the end.
      {"\xFF \xC0\xAF \xED\xA0\x80 \xF4\x90\x80\x80 \xE2\x82 \xF0\x9F\x98",
       "\\xff \\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80 \\xe2\\x82 \\xf0\\x9f\\x98"},
      {"a\\x1b\\", "a\\\\x1b\\\\"},
  };
  for (const auto& [text, shown] : cases) {
    std::string out = "kept ";
    dp::AppendVisibleText(text, &out);
    EXPECT_EQ(out, "kept " + shown);
  }
}

// What XML forbids becomes U+FFFD, in the key and sub-key too; plain logs
// keep every byte.
TEST_F(LocalTimeInUtc, FileLogsWriteEscapedXmlRecordsOrPlainLines) {
  qmk_test::TempDir dir;
  environment_.Set("QUILL_HOME", QMK_TEST_BUILD_DIR);  // it holds the style sheet
  for (const char* name : {"run.xml", "run.xml.txt"}) {
    auto* consumer = new dp::FileConsumer(dir / name);
    consumer->Install();
    EXPECT_TRUE(Consume(consumer, Message(dp::Error, "<b>&\"x\"</b>'\n")));
    EXPECT_TRUE(
        Consume(consumer,
                Message(dp::Info, "esc\x1b ctl\x01 bad\xFF sur\xED\xA0\x80 nc\xEF\xBF\xBE ok\t\r\n",
                        k20261206At090507042Utc, 12, 34, "k\"<&'>", "s\x01")));

    consumer->Release();
  }
  const std::string xml = qmk_test::ReadFile(dir / "run.xml");
  EXPECT_EQ(
      xml.substr(xml.find("<qmtrace:log ")),
      "<qmtrace:log xmlns:qmtrace=\"urn:qmkutils:qmtrace:1\">\n"
      "<qmtrace:mesg type = \"Error\" time = \"9:5:07.042  6 Dec 2026\">\n"
      "<qmtrace:id proc = \"12\" thread = \"34\"/>\n"
      "<qmtrace:sourceid source = \"key\" subkey = \"sub\"/>\n"
      "&lt;b&gt;&amp;&quot;x&quot;&lt;/b&gt;&apos;\n"
      "</qmtrace:mesg>\n"
      "<qmtrace:mesg type = \"Info\" time = \"9:5:07.042  6 Dec 2026\">\n"
      "<qmtrace:id proc = \"12\" thread = \"34\"/>\n"
      "<qmtrace:sourceid source = \"k&quot;&lt;&amp;&apos;&gt;\" subkey = \"s\xEF\xBF\xBD\"/>\n"
      "esc\xEF\xBF\xBD ctl\xEF\xBF\xBD bad\xEF\xBF\xBD "
      "sur\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD nc\xEF\xBF\xBD ok\t\r\n"
      "</qmtrace:mesg>\n"
      "</qmtrace:log>\n");
  EXPECT_EQ(qmk_test::ReadFile(dir / "run.xml.txt"),
            "Error   9:5:07.042  6 Dec 2026 12 34 key sub <b>&\"x\"</b>' \n"
            "Info    9:5:07.042  6 Dec 2026 12 34 k\"<&'> s\x01 "
            "esc\x1b ctl\x01 bad\xFF sur\xED\xA0\x80 nc\xEF\xBF\xBE ok\t\r \n");
}

// Unopenable files pass each message on to the older file consumer, which
// writes it out without waiting for further messages.
TEST(FileConsumer, UnopenableFilesPassMessagesOnAndIdleLinesReachTheFile) {
  qmk_test::TempDir dir;
  dp::TraceController& controller = dp::TraceController::Instance();
  controller.RemoveAllConsumers();
  controller.AddFileConsumer(dir / "idle.log", false);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  // A missing directory, and a FIFO nobody reads (opening it must not block).
  for (const std::string& path : {std::string("/nonexistent-dir/trace.log"), dir / "fifo"}) {
    dp::TraceConsumer* broken = controller.AddFileConsumer(path, false);
    ASSERT_NE(broken, nullptr);
    EXPECT_FALSE(static_cast<dp::FileConsumer*>(broken)->IsGood());
  }
  dp::QMTracer("test", "File")("written while idle\n");
  EXPECT_TRUE(qmk_test::Eventually([&] {
    return qmk_test::ReadFile(dir / "idle.log").find("written while idle") != std::string::npos;
  }));
  controller.RemoveAllConsumers();
}

TEST(FileConsumer, AReaderThatStopsReadingHoldsUpNeitherTracingNorExit) {
  qmk_test::TempDir dir;
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dp::TraceController::Instance().AddFileConsumer(fifo, false);
    // Far more than the pipe and the consumer's buffer hold.
    for (int i = 0; i < 40000; ++i) dp::QMTracer("test", "Fifo")(dp::Warning, "line %d\n", i);
    std::exit(0);  // releases the consumer with output still waiting
  }
  EXPECT_EQ(qmk_test::Reap(pid, std::chrono::seconds(60)), 0);
  char head[256] = {};
  ASSERT_GT(read(reader, head, sizeof head - 1), 0);
  EXPECT_THAT(head, HasSubstr(" test Fifo line 0 \n"));
  close(reader);
}

TEST(WindowConsumer, SendsShortLinesAsRecordsAndSurvivesAVanishedViewer) {
  int sockets[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets), 0);
  auto* consumer = new dp::WindowConsumer(sockets[0]);
  auto receiveAll = [&] {
    std::vector<std::string> lines;
    char record[2048];
    for (consumer->Flush();; consumer->Flush()) {
      const ssize_t size = recv(sockets[1], record, sizeof record, MSG_DONTWAIT);
      std::string_view line;
      if (size < 0) return lines;
      EXPECT_TRUE(dp::TraceViewerEndpoint::DecodeRecord(std::string_view(record, size), &line));
      lines.emplace_back(line);
    }
  };
  dp::TraceFormatter shortMessage = Message(dp::Info, "short");
  EXPECT_TRUE(Consume(consumer, Message(dp::Info, std::string(1100, 'x').c_str())));  // dropped
  EXPECT_TRUE(consumer->ConsumeMessage(&shortMessage));
  EXPECT_THAT(receiveAll(), testing::ElementsAre(PlainLine(shortMessage)));

  // What does not fit a viewer's socket is queued, and goes out in order.
  std::vector<dp::TraceFormatter> numbered;
  for (int i = 0; i < 2000; ++i) numbered.push_back(Message(dp::Info, std::to_string(i).c_str()));
  for (const auto& message : numbered) consumer->ConsumeMessage(&message);
  const std::vector<std::string> received = receiveAll();
  ASSERT_EQ(received.size(), numbered.size());
  for (std::size_t i = 0; i < received.size(); ++i)
    EXPECT_THAT(received[i], testing::EndsWith(" key sub " + std::to_string(i) + "\n"));

  // A queue past its bound means a stalled viewer: dropped, then a back-off.
  for (int round = 0; round < 4; ++round)
    for (const auto& message : numbered) consumer->ConsumeMessage(&message);
  receiveAll();
  consumer->ConsumeMessage(&shortMessage);
  EXPECT_THAT(receiveAll(), testing::IsEmpty());
  for (auto& message : numbered) Discard(message);

  close(sockets[1]);
  EXPECT_TRUE(Consume(consumer, shortMessage));  // no SIGPIPE, no failure
  Discard(shortMessage);
  consumer->Release();
}

TEST(TraceConsumer, BaseOperationsThrowForTheMissingOverride) {
  dp::TraceConsumer base;
  EXPECT_THROW(base.ConsumeMessage(nullptr), std::logic_error);
  EXPECT_THROW(base.Install(), std::logic_error);
  EXPECT_THROW(base.Release(), std::logic_error);
}

}  // namespace
