#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "qmkutils/tracing/fileconsumer.h"
#include "qmkutils/tracing/traceconsumer.h"
#include "qmkutils/tracing/tracecontroller.h"
#include "qmkutils/tracing/tracer.h"
#include "qmkutils/tracing/viewerendpoint.h"
#include "qmkutils/tracing/windowconsumer.h"
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
    consumer->Release();
  }
  EXPECT_EQ(qmk_test::ReadFile(dir / "run.xml"),
            "<?xml version=\"1.0\"?>\n"
            "<?xml-stylesheet type=\"text/xsl\" href=\"file:///opt/q/qmtrace/qmtrace.xsl\"?>\n"
            "<qmtrace:log xmlns:qmtrace=\"urn:qmkutils:qmtrace:1\">\n"
            "<qmtrace:mesg type = \"Error\" time = \"9:5:07.042  6 Dec 2026\">\n"
            "<qmtrace:id proc = \"12\" thread = \"34\"/>\n"
            "<qmtrace:sourceid source = \"key\" subkey = \"sub\"/>\n"
            "&lt;b&gt;&amp;&quot;x&quot;&lt;/b&gt;&apos;\n"
            "</qmtrace:mesg>\n"
            "</qmtrace:log>\n");
  EXPECT_EQ(qmk_test::ReadFile(dir / "run.xml.txt"),
            "Error   9:5:07.042  6 Dec 2026 12 34 key sub <b>&\"x\"</b>' \n");
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

  // A viewer that stops reading: once a line times out, the following ones
  // are dropped without waiting, until the viewer reads again.
  const timeval timeout{0, 50000};
  ASSERT_EQ(setsockopt(sockets[0], SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout), 0);
  for (int i = 0; i < 5000; ++i) consumer->ConsumeMessage(&shortMessage);
  while (recv(sockets[1], record, sizeof record, MSG_DONTWAIT) > 0) {
  }
  dp::TraceFormatter after = Message(dp::Error, "after the stall");
  consumer->ConsumeMessage(&after);
  size = recv(sockets[1], record, sizeof record, MSG_DONTWAIT);
  ASSERT_GT(size, 8);
  EXPECT_THAT(std::string(record + 8, size - 8), HasSubstr("after the stall"));
  Discard(after);

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

TEST(TraceViewerEndpoint, LivesInTheRuntimeDirectoryOrAPrivateOneInTmp) {
  qmk_test::ScopedEnvironment environment;
  environment.Set("XDG_RUNTIME_DIR", "");
  EXPECT_EQ(dp::TraceViewerEndpoint::GetPath(),
            "/tmp/qmtracer-" + std::to_string(geteuid()) + "/qmtracer");
  environment.Set("XDG_RUNTIME_DIR", "/run/user/x");
  EXPECT_EQ(dp::TraceViewerEndpoint::GetPath(), "/run/user/x/qmtracer");
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
