#include "qmkutils/tracing/traceconsumer.h"

#include <stdexcept>

#include "qmkutils/platform/timer.h"
#include "qmkutils/tracing/internal/tracetext.h"

namespace dp {

TraceConsumer::~TraceConsumer() = default;

bool TraceConsumer::ConsumeMessage(const TraceFormatter*) {
  throw std::logic_error(
      " Missing override for pure virtual function TraceConsumer::ConsumeMessage(const "
      "TraceFormatter* formatter)");
}

void TraceConsumer::Install() {
  throw std::logic_error(" Missing override for pure virtual function TraceConsumer::Install()");
}

void TraceConsumer::Release() {
  throw std::logic_error(" Missing override for pure virtual function TraceConsumer::Release()");
}

void AppendPlainTraceLine(const TraceFormatter& formatter, std::string* line) {
  const char* typeName = GetTraceTypeName(formatter.GetType());
  if (typeName == nullptr) return;
  const std::size_t start = line->size();
  line->append(typeName);
  line->append(7 - (line->size() - start), ' ');
  line->push_back(' ');
  LocalTimeVal(formatter.GetTime()).AppendTo(line);
  line->push_back(' ');
  detail::AppendNumber(line, formatter.GetProcId());
  line->push_back(' ');
  detail::AppendNumber(line, formatter.GetThreadId());
  line->push_back(' ');
  detail::AppendName(line, formatter.GetKey());
  line->push_back(' ');
  detail::AppendName(line, formatter.GetSubKey());
  line->push_back(' ');
  const std::size_t textStart = line->size();
  line->append(formatter.GetMesgView());
  for (std::size_t i = textStart; i < line->size(); ++i) {
    if ((*line)[i] == '\n') (*line)[i] = ' ';
  }
  line->push_back('\n');
}

}  // namespace dp
