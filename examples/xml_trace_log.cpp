// Writing an XML trace log and reading it in a browser.
//
//   QUILL_HOME=<build or install home> ./xml_trace_log run.xml
//   xsltproc run.xml > run.html      (or open run.xml in a browser)
//
// The log names the style sheet below the installation home, so it renders
// as a table of messages. Without QUILL_HOME (or a registry entry naming the
// home) the log falls back to plain lines and says so in its first line.
#include <cstdio>

#include "qmkutils/tracing/tracecontroller.h"
#include "qmkutils/tracing/tracer.h"

namespace {

const dp::QMTracer s_trace("example", "XmlLog");

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s LOG.xml\n", argv[0]);
    return 2;
  }
  dp::TraceController::Instance().AddFileConsumer(argv[1], false);
  s_trace("Starting with %d argument(s)\n", argc - 1);
  s_trace(dp::Warning, "Markup in a message is escaped: <b>&\"bold\"</b>\n");
  s_trace(dp::Error) << "Stream form: " << 42 << " and a second line\n"
                     << "in one message\n";
  // The log is closed (with its end tag) when the trace controller goes at
  // exit; removing the consumers closes it now.
  dp::TraceController::Instance().RemoveAllConsumers();
  std::printf("Wrote %s\n", argv[1]);
  return 0;
}
