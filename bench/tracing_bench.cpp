// The cost of tracing: a call nobody listens to, a debug call its mask
// filters out while a log file is open, and a printf-style line written to a
// plain-text log; each against spdlog 1.10 from Debian (its compiled shared
// library): a call below the logger's level, and its synchronous file logger
// writing an equivalent line.
//
// Results (g++ 12 -O2, 2-core x86-64 VM, median of 5 repetitions), from
//   cmake --build build --target qmk_tracing_bench &&
//   build/bench/qmk_tracing_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
//
//   BM_TraceWithoutConsumer          0.36 ns   0.03x spdlog below its level
//   BM_MaskedDebugWithFileConsumer   0.99 ns   0.08x spdlog below its level
//   BM_SpdlogBelowLevel              12.2 ns
//   BM_TracePrintfToPlainFile         492 ns   2.03 M lines/s
//   BM_SpdlogToFile                  1074 ns   0.93 M lines/s   (trace 2.18x the lines/s)

#include <benchmark/benchmark.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "qmkutils/tracing/tracecontroller.h"
#include "qmkutils/tracing/tracer.h"

namespace {

const dp::QMTracer s_trace("bench", "File");

std::string ScratchLog(const char* name) {
  return "/tmp/qmk-bench-" + std::to_string(getpid()) + "-" + name;
}

// A call nobody listens to: no consumer installed; for spdlog, a call below
// the logger's level.
void BM_TraceWithoutConsumer(benchmark::State& state) {
  dp::TraceController::Instance().RemoveAllConsumers();
  int i = 0;
  for (auto _ : state) s_trace("value %d of %s\n", ++i, "text");
}
BENCHMARK(BM_TraceWithoutConsumer);

// A debug call its mask filters out while a log file is open: the usual
// production setting.
void BM_MaskedDebugWithFileConsumer(benchmark::State& state) {
  const std::string path = ScratchLog("masked.log");
  dp::TraceController& controller = dp::TraceController::Instance();
  controller.RemoveAllConsumers();
  controller.AddFileConsumer(path, false);
  static const dp::QMDebugTracer s_debug("bench", "Masked");
  int i = 0;
  for (auto _ : state) s_debug(0x4, "value %d of %s\n", ++i, "text");
  controller.RemoveAllConsumers();
  std::remove(path.c_str());
}
BENCHMARK(BM_MaskedDebugWithFileConsumer);

void BM_SpdlogBelowLevel(benchmark::State& state) {
  const std::string path = ScratchLog("spdlog-level.log");
  auto logger = spdlog::basic_logger_mt("bench-level", path, true);
  logger->set_level(spdlog::level::info);
  int i = 0;
  for (auto _ : state) logger->debug("value {} of {}", ++i, "text");
  spdlog::drop("bench-level");
  std::remove(path.c_str());
}
BENCHMARK(BM_SpdlogBelowLevel);

void BM_TracePrintfToPlainFile(benchmark::State& state) {
  const std::string path = ScratchLog("trace.log");
  dp::TraceController& controller = dp::TraceController::Instance();
  controller.RemoveAllConsumers();
  controller.AddFileConsumer(path, false);
  int i = 0;
  for (auto _ : state) s_trace("value %d of %s\n", ++i, "text");
  controller.RemoveAllConsumers();
  std::remove(path.c_str());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TracePrintfToPlainFile);

void BM_SpdlogToFile(benchmark::State& state) {
  const std::string path = ScratchLog("spdlog.log");
  auto logger = spdlog::basic_logger_mt("bench", path, true);
  // The same fields as a plain trace line: type, local time with
  // milliseconds and date, process and thread ids, source, text.
  logger->set_pattern("%-7l %H:%M:%S.%e  %d %b %Y %P %t bench File %v");
  int i = 0;
  for (auto _ : state) logger->info("value {} of {}", ++i, "text");
  spdlog::drop("bench");
  std::remove(path.c_str());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpdlogToFile);

}  // namespace
