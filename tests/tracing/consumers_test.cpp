#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "qmkutils/platform/timer.h"
#include "qmkutils/tracing/fileconsumer.h"
#include "qmkutils/tracing/plaintraceline.h"
#include "qmkutils/tracing/traceconsumer.h"
#include "qmkutils/tracing/tracecontroller.h"
#include "qmkutils/tracing/tracer.h"
#include "qmkutils/tracing/viewerendpoint.h"
#include "qmkutils/tracing/windowconsumer.h"
#include "support/child_process.h"
#include "support/recording_consumer.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using testing::HasSubstr;

constexpr int64_t k20261206At090507042Utc = 1796547907042;

// Trace lines show local time: pin the zone for exact expectations.
class LocalTimeInUtc : public testing::Test {
 protected:
  void SetUp() override {
    environment_.emplace().Set("TZ", "UTC");
    tzset();
  }
  void TearDown() override {
    environment_.reset();
    tzset();
  }
  qmk_test::ScopedEnvironment& environment() { return *environment_; }

 private:
  std::optional<qmk_test::ScopedEnvironment> environment_;
};

dp::TraceFormatter Message(dp::TraceType type, const char* text) {
  dp::TraceFormatter formatter(k20261206At090507042Utc, type, 12, 34, "key", "sub");
  formatter << text;
  return formatter;
}

// Formatters built here are inspected, not dispatched.
void Discard(dp::TraceFormatter& formatter) {
  formatter = dp::TraceFormatter(0, dp::kInertTraceType, 0, 0, "", "");
}

TEST_F(LocalTimeInUtc, PlainLineHasFixedFieldsAndOneLine) {
  std::string line;
  dp::TraceFormatter warning = Message(dp::Warning, "a\nb\n");
  dp::AppendPlainTraceLine(warning, &line);
  dp::TraceFormatter info = Message(dp::Info, "");
  dp::AppendPlainTraceLine(info, &line);
  EXPECT_EQ(line,
            "Warning 9:5:07.042  6 Dec 2026 12 34 key sub a b \n"
            "Info    9:5:07.042  6 Dec 2026 12 34 key sub \n");
  Discard(warning);
  Discard(info);

  std::ostringstream names;
  names << dp::Info << dp::Debug << dp::Warning << dp::Error;
  EXPECT_EQ(names.str(), "InfoDebugWarningError");
  EXPECT_THROW(names << static_cast<dp::TraceType>(7), std::runtime_error);
}

// Whatever the writer writes reads back field for field: empty names, blanks
// in the text, extreme ids, and the times of any moment (a year before 0,
// the all-zero time of a moment the C library cannot convert).
TEST_F(LocalTimeInUtc, PlainLinesReadBackExactlyAndNothingElseReads) {
  const int64_t moments[] = {k20261206At090507042Utc, -70000000000000, INT64_MIN, INT64_MAX};
  for (int64_t moment : moments) {
    dp::TraceFormatter formatter(moment, dp::Debug, -7, INT_MAX, "", nullptr);
    formatter << "  two  blanks\n";
    std::string line;
    dp::AppendPlainTraceLine(formatter, &line);
    Discard(formatter);
    dp::PlainTraceLine fields;
    ASSERT_TRUE(dp::ParsePlainTraceLine(line, &fields)) << line;
    EXPECT_EQ(fields.type, dp::Debug);
    std::string time;
    dp::LocalTimeVal(moment).AppendTo(&time);
    EXPECT_EQ(fields.time, time);
    EXPECT_EQ(std::make_tuple(fields.procId, fields.threadId, fields.key, fields.subKey),
              std::make_tuple(-7, INT_MAX, "", ""));
    EXPECT_EQ(fields.text, "  two  blanks ");
  }
  dp::PlainTraceLine fields;
  ASSERT_TRUE(dp::ParsePlainTraceLine("Warning 9:5:07.042  6 Dec 2026 12 34 key sub x y", &fields));
  EXPECT_EQ(fields.type, dp::Warning);
  EXPECT_EQ(fields.time, "9:5:07.042  6 Dec 2026");
  EXPECT_EQ(std::make_tuple(fields.key, fields.subKey, fields.text),
            std::make_tuple("key", "sub", "x y"));

  const std::string tail = " 12 34 key sub text";
  const std::string malformed[] = {
      "",
      "Info",
      "Fatal   9:5:07.042  6 Dec 2026" + tail,
      "info    9:5:07.042  6 Dec 2026" + tail,
      "Info   9:5:07.042  6 Dec 2026" + tail,
      "Info     9:5:07.042  6 Dec 2026" + tail,
      "Info    9:5:7.042  6 Dec 2026" + tail,
      "Info    9:5:07.0420  6 Dec 2026" + tail,
      "Info    9:5:07.042 6 Dec 2026" + tail,
      "Info    9:5:07.042  6 12 2026" + tail,
      "Info    9:5:07.042  6 Dec" + tail,
      "Info    9:5:07.042  6 Dec 2026 12x 34 key sub text",
      "Info    9:5:07.042  6 Dec 2026 99999999999 34 key sub text",
      "Info    9:5:07.042  6 Dec 2026 +12 34 key sub text",
      "Info    9:5:07.042  6 Dec 2026 12 34 key sub",
      "Info    9:5:07.042  6 Dec 2026 12 34 key sub two\nlines",
  };
  for (const std::string& line : malformed) {
    dp::PlainTraceLine untouched;
    untouched.key = "unchanged";
    EXPECT_FALSE(dp::ParsePlainTraceLine(line, &untouched)) << line;
    EXPECT_EQ(untouched.key, "unchanged");
  }
}

TEST(PlainTraceLine, VisibleTextEscapesAllATerminalActsOnAndNothingElse) {
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

// Clean text is written as it always was; what XML forbids becomes U+FFFD,
// in the key and sub-key too, so the log stays well-formed. Plain logs keep
// every byte.
TEST_F(LocalTimeInUtc, FileLogsWriteEscapedXmlRecordsOrPlainLines) {
  qmk_test::TempDir dir;
  environment().Set("QUILL_HOME", "/opt/q");
  auto* xml = new dp::FileConsumer(dir / "run.xml");
  auto* plain = new dp::FileConsumer(dir / "run.xml.txt");
  EXPECT_TRUE(xml->IsXml());
  EXPECT_FALSE(plain->IsXml());
  for (dp::FileConsumer* consumer : {xml, plain}) {
    consumer->Install();
    dp::TraceFormatter message = Message(dp::Error, "<b>&\"x\"</b>'\n");
    EXPECT_TRUE(consumer->ConsumeMessage(&message));
    Discard(message);
    dp::TraceFormatter bad(k20261206At090507042Utc, dp::Info, 12, 34, "k\"<&'>", "s\x01");
    bad << "esc\x1b ctl\x01 bad\xFF sur\xED\xA0\x80 nc\xEF\xBF\xBE ok\t\r\n";
    EXPECT_TRUE(consumer->ConsumeMessage(&bad));
    Discard(bad);
    consumer->Release();
  }
  EXPECT_EQ(
      qmk_test::ReadFile(dir / "run.xml"),
      "<?xml version=\"1.0\"?>\n"
      "<?xml-stylesheet type=\"text/xsl\" href=\"file:///opt/q/qmtrace/qmtrace.xsl\"?>\n"
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

TEST(FileConsumer, UnopenableFileLeavesMessagesToOlderConsumers) {
  qmk_test::ScopedTraceRecorder recorder;
  dp::TraceController& controller = dp::TraceController::Instance();
  qmk_test::TempDir dir;
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  // A missing directory, and a FIFO nobody reads (which must not block).
  for (const std::string& path : {std::string("/nonexistent-dir/trace.log"), dir / "fifo"}) {
    dp::TraceConsumer* broken = controller.AddFileConsumer(path, false);
    ASSERT_NE(broken, nullptr);
    EXPECT_FALSE(static_cast<dp::FileConsumer*>(broken)->IsGood());
  }
  dp::QMTracer("test", "File")("still seen\n");
  EXPECT_THAT(recorder.log().Texts(), testing::ElementsAre("still seen\n"));
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
  EXPECT_EQ(qmk_test::WaitForChild(pid, std::chrono::seconds(60)), 0);
  char head[256] = {};
  ASSERT_GT(read(reader, head, sizeof head - 1), 0);
  EXPECT_THAT(head, HasSubstr(" test Fifo line 0 \n"));
  close(reader);
}

TEST(FileConsumer, LinesReachTheFileWithoutFurtherMessages) {
  qmk_test::TempDir dir;
  dp::TraceController& controller = dp::TraceController::Instance();
  controller.RemoveAllConsumers();
  controller.AddFileConsumer(dir / "idle.log", false);
  dp::QMTracer("test", "File")("written while idle\n");
  bool written = false;
  for (int i = 0; i < 1000 && !written; ++i) {
    written = qmk_test::ReadFile(dir / "idle.log").find("written while idle") != std::string::npos;
    if (!written) usleep(10000);
  }
  controller.RemoveAllConsumers();
  EXPECT_TRUE(written);
}

TEST(WindowConsumer, SendsShortLinesAsRecordsAndSurvivesAVanishedViewer) {
  int sockets[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets), 0);
  auto* consumer = new dp::WindowConsumer(sockets[0]);
  dp::TraceFormatter shortMessage = Message(dp::Info, "short");
  const std::string longText(1100, 'x');
  dp::TraceFormatter longMessage = Message(dp::Info, longText.c_str());
  EXPECT_TRUE(consumer->ConsumeMessage(&longMessage));  // dropped, still taken
  EXPECT_TRUE(consumer->ConsumeMessage(&shortMessage));

  char record[2048];
  ssize_t size = recv(sockets[1], record, sizeof record, MSG_DONTWAIT);
  ASSERT_GT(size, 8);
  std::string line;
  dp::AppendPlainTraceLine(shortMessage, &line);
  EXPECT_EQ(std::string(record, 8),
            std::string("\1\0\0\0", 4) + static_cast<char>(line.size()) + std::string(3, '\0'));
  std::string_view decoded;
  ASSERT_TRUE(dp::TraceViewerEndpoint::DecodeRecord(std::string_view(record, size), &decoded));
  EXPECT_EQ(decoded, line);
  EXPECT_LT(recv(sockets[1], record, sizeof record, MSG_DONTWAIT), 0);  // nothing else came

  // A viewer that stops reading never holds the consumer up: what does not
  // fit its socket is queued, and goes out in order once it reads again.
  std::vector<dp::TraceFormatter> numbered;
  for (int i = 0; i < 2000; ++i) numbered.push_back(Message(dp::Info, std::to_string(i).c_str()));
  for (const auto& message : numbered) consumer->ConsumeMessage(&message);
  auto receiveAll = [&] {
    std::vector<std::string> texts;
    for (;;) {
      consumer->Flush();
      size = recv(sockets[1], record, sizeof record, MSG_DONTWAIT);
      if (size <= 8) return texts;
      dp::PlainTraceLine parsed;
      if (dp::ParsePlainTraceLine(std::string_view(record + 8, size - 9), &parsed)) {
        texts.emplace_back(parsed.text);
      }
    }
  };
  std::vector<std::string> received = receiveAll();
  ASSERT_EQ(received.size(), numbered.size());
  for (std::size_t i = 0; i < received.size(); ++i) EXPECT_EQ(received[i], std::to_string(i));

  // A queue that outgrows its bound is a stalled viewer: it is dropped, and
  // so are the lines that follow during the back-off.
  for (int round = 0; round < 4; ++round) {
    for (const auto& message : numbered) consumer->ConsumeMessage(&message);
  }
  receiveAll();
  dp::TraceFormatter after = Message(dp::Error, "during the back-off");
  consumer->ConsumeMessage(&after);
  EXPECT_THAT(receiveAll(), testing::IsEmpty());
  Discard(after);
  for (auto& message : numbered) Discard(message);

  close(sockets[1]);
  EXPECT_TRUE(consumer->ConsumeMessage(&shortMessage));  // no SIGPIPE, no failure
  Discard(shortMessage);
  Discard(longMessage);
  consumer->Release();
}

TEST(TraceViewerEndpoint, RejectsMalformedRecords) {
  std::string_view line;
  EXPECT_FALSE(dp::TraceViewerEndpoint::DecodeRecord("", &line));
  EXPECT_FALSE(dp::TraceViewerEndpoint::DecodeRecord(std::string("\1\0\0\0\5\0\0", 7), &line));
  EXPECT_FALSE(dp::TraceViewerEndpoint::DecodeRecord(std::string("\2\0\0\0\1\0\0\0x", 9), &line));
  EXPECT_FALSE(dp::TraceViewerEndpoint::DecodeRecord(std::string("\1\0\0\0\5\0\0\0x", 9), &line));
  const std::string good("\1\0\0\0\1\0\0\0x", 9);
  EXPECT_TRUE(dp::TraceViewerEndpoint::DecodeRecord(good, &line));
  EXPECT_EQ(line, "x");
  EXPECT_FALSE(dp::TraceViewerEndpoint::SendLine(-1, std::string(1024, 'x')));
}

// The runtime directory counts only as a real directory of this user that
// nobody else may enter; anything else leaves the private one in /tmp.
TEST(TraceViewerEndpoint, LivesInAPrivateRuntimeDirectoryOrAPrivateOneInTmp) {
  qmk_test::TempDir runtime;  // mode 0700, as mkdtemp makes it
  qmk_test::ScopedEnvironment environment;
  const std::string fallback = "/tmp/qmtracer-" + std::to_string(geteuid()) + "/qmtracer";
  environment.Set("XDG_RUNTIME_DIR", "");
  EXPECT_EQ(dp::TraceViewerEndpoint::GetPath(), fallback);
  environment.Set("XDG_RUNTIME_DIR", runtime.path());
  EXPECT_EQ(dp::TraceViewerEndpoint::GetPath(), runtime / "qmtracer");

  ASSERT_EQ(symlink(runtime.path().c_str(), (runtime / "link").c_str()), 0);
  for (const std::string& elsewhere : {runtime / "link", runtime / "missing"}) {
    environment.Set("XDG_RUNTIME_DIR", elsewhere);
    EXPECT_EQ(dp::TraceViewerEndpoint::GetPath(), fallback) << elsewhere;
  }
  environment.Set("XDG_RUNTIME_DIR", runtime.path());
  for (mode_t mode : {0777, 0750, 0701}) {
    ASSERT_EQ(chmod(runtime.path().c_str(), mode), 0);
    EXPECT_EQ(dp::TraceViewerEndpoint::GetPath(), fallback) << std::oct << mode;
  }
  ASSERT_EQ(chmod(runtime.path().c_str(), 0700), 0);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(runtime.path().c_str(), 4242, -1), 0);
    EXPECT_EQ(dp::TraceViewerEndpoint::GetPath(), fallback) << "owned by somebody else";
  }
}

// A traced process connects only to a socket of its user in a private
// directory of its user. Anything else is refused before a connection is
// even tried, so a squatter costs nothing.
TEST(TraceViewerEndpoint, ConnectsOnlyToASocketOfThisUserInAPrivateDirectory) {
  qmk_test::TempDir runtime;
  qmk_test::TempDir elsewhere;
  qmk_test::ScopedEnvironment environment;
  environment.Set("XDG_RUNTIME_DIR", runtime.path());
  std::string error;
  const int listener = dp::TraceViewerEndpoint::Listen(&error);
  ASSERT_GE(listener, 0) << error;
  auto connectionWaits = [&] {
    pollfd waiting{listener, POLLIN, 0};
    return poll(&waiting, 1, 0) == 1;
  };
  const std::string path = runtime / "qmtracer";
  const int peer = dp::TraceViewerEndpoint::Connect(path);
  ASSERT_GE(peer, 0);
  close(peer);
  ASSERT_TRUE(connectionWaits());
  close(accept(listener, nullptr, nullptr));

  ASSERT_EQ(symlink(path.c_str(), (elsewhere / "qmtracer").c_str()), 0);
  EXPECT_EQ(dp::TraceViewerEndpoint::Connect(elsewhere / "qmtracer"), -1) << "a symlink";
  for (mode_t mode : {0777, 0730}) {
    ASSERT_EQ(chmod(runtime.path().c_str(), mode), 0);
    EXPECT_EQ(dp::TraceViewerEndpoint::Connect(path), -1) << std::oct << mode;
  }
  ASSERT_EQ(chmod(runtime.path().c_str(), 0700), 0);
  if (geteuid() == 0) {
    for (const std::string& squatted : {runtime.path(), path}) {
      ASSERT_EQ(chown(squatted.c_str(), 4242, -1), 0);
      EXPECT_EQ(dp::TraceViewerEndpoint::Connect(path), -1) << squatted << " owned by 4242";
      ASSERT_EQ(chown(squatted.c_str(), 0, -1), 0);
    }
  }
  EXPECT_FALSE(connectionWaits()) << "no refused endpoint was connected to";
  close(listener);
}

TEST(TraceConsumer, BaseOperationsNameTheMissingOverride) {
  dp::TraceConsumer base;
  auto text = [](auto action) -> std::string {
    try {
      action();
    } catch (const std::logic_error& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(text([&] { base.ConsumeMessage(nullptr); }),
            " Missing override for pure virtual function TraceConsumer::ConsumeMessage(const "
            "TraceFormatter* formatter)");
  EXPECT_EQ(text([&] { base.Install(); }),
            " Missing override for pure virtual function TraceConsumer::Install()");
  EXPECT_EQ(text([&] { base.Release(); }),
            " Missing override for pure virtual function TraceConsumer::Release()");
}

}  // namespace
