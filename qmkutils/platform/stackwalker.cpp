#include "qmkutils/platform/stackwalker.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <exception>

#include "qmkutils/platform/internal/signalsafeio.h"
#include "qmkutils/platform/process.h"
#include "qmkutils/tracing/tracer.h"

namespace dp {
namespace {

const QMTracer s_trace("QmStackWalker", "QmStackWalker");

// The interrupted instruction of a signal context, or 0 where unknown.
std::uintptr_t InterruptedInstruction(const void* signalContext) {
  const auto* context = static_cast<const ucontext_t*>(signalContext);
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(context->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return static_cast<std::uintptr_t>(context->uc_mcontext.pc);
#else
  (void)context;
  return 0;
#endif
}

void PrintToStandardOutput(const char* text) {
  sigsafe::WriteAll(STDOUT_FILENO, text, std::strlen(text));
}

struct ModuleWalk {
  CallStackReporter* reporter;
  const char* programPath;
  int count = 0;
  std::exception_ptr failure;
};

}  // namespace

CallStackReporter::CallStackReporter() {
  const ssize_t length = ::readlink("/proc/self/exe", programPath_, sizeof programPath_ - 1);
  programPath_[length > 0 ? length : 0] = '\0';
}

CallStackReporter::~CallStackReporter() = default;

bool CallStackReporter::LoadModules() {
  OnSymbolInit(Process::GetCurrentProcId());
  ModuleWalk walk{this, programPath_, 0, nullptr};
  // An exception must not unwind through the loader: it is kept and
  // rethrown once the enumeration is over.
  ::dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        auto* walk = static_cast<ModuleWalk*>(data);
        const char* path =
            info->dlpi_name && *info->dlpi_name ? info->dlpi_name : walk->programPath;
        try {
          walk->reporter->OnModuleLoaded({path, static_cast<std::uintptr_t>(info->dlpi_addr)});
        } catch (...) {
          walk->failure = std::current_exception();
          return 1;
        }
        ++walk->count;
        return 0;
      },
      &walk);
  if (walk.failure) std::rethrow_exception(walk.failure);
  return walk.count > 0;
}

__attribute__((noinline)) bool CallStackReporter::ShowCallStack(const void* signalContext) {
  void* frames[kMaxFrames];
  const int count = ::backtrace(frames, kMaxFrames);
  if (count <= 0) {
    OnWalkError("backtrace", 0, nullptr);
    return false;
  }
  // Without a context the walk starts at the caller; with one, at the
  // interrupted instruction (the handler's own frames come before it). The
  // first frame is found by its address, as a sanitizer's backtrace() may
  // add frames of its own; when it is not among them, all are reported.
  const std::uintptr_t interrupted = signalContext ? InterruptedInstruction(signalContext) : 0;
  const auto start =
      signalContext ? interrupted : reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  int first = 0;
  for (int i = 0; i < count; ++i) {
    if (reinterpret_cast<std::uintptr_t>(frames[i]) == start) {
      first = i;
      break;
    }
  }
  for (int i = first; i < count; ++i) {
    const bool isInterrupted = reinterpret_cast<std::uintptr_t>(frames[i]) == interrupted;
    ReportFrame(i - first, frames[i], !isInterrupted);
  }
  return count > first;
}

void CallStackReporter::ReportFrame(int index, const void* address, bool isReturnAddress) {
  // A return address may lie past the end of the calling function: look
  // up the call instruction before it.
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  const auto* lookup = reinterpret_cast<const void*>(isReturnAddress ? at - 1 : at);
  Dl_info info{};
  StackFrame frame{index, address, nullptr, nullptr, 0};
  if (::dladdr(lookup, &info) == 0) {
    OnWalkError("dladdr", 0, address);
    OnCallStackEntry(frame);
    return;
  }
  frame.module = info.dli_fname && *info.dli_fname ? info.dli_fname : programPath_;
  frame.offset = at - reinterpret_cast<std::uintptr_t>(info.dli_fbase);
  char* demangled = nullptr;
  if (info.dli_sname != nullptr) {
    int status = 0;
    demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    frame.function = demangled ? demangled : info.dli_sname;
    frame.offset = at - reinterpret_cast<std::uintptr_t>(info.dli_saddr);
  }
  try {
    OnCallStackEntry(frame);
  } catch (...) {
    std::free(demangled);
    throw;
  }
  std::free(demangled);
}

void CallStackReporter::OnSymbolInit(int processId) {
  sigsafe::LineBuffer line;
  line.Append("Modules of process ").AppendDecimal(processId).Append(":\n");
  OnOutput(line.Text());
}

void CallStackReporter::OnModuleLoaded(const StackModule& module) {
  sigsafe::LineBuffer line;
  line.Append("  ").AppendHex(module.base).Append(" ").Append(module.path).Append("\n");
  OnOutput(line.Text());
}

void CallStackReporter::OnCallStackEntry(const StackFrame& frame) {
  sigsafe::LineBuffer line;
  line.Append("#").AppendDecimal(frame.index).Append(" ");
  line.AppendHex(reinterpret_cast<std::uintptr_t>(frame.address)).Append(" ");
  line.Append(frame.function ? frame.function : "??").Append(" + ").AppendHex(frame.offset);
  line.Append(" in ").Append(frame.module ? frame.module : "??").Append("\n");
  OnOutput(line.Text());
}

void CallStackReporter::OnWalkError(const char* operation, int error, const void* address) {
  sigsafe::LineBuffer line;
  line.Append(operation).Append(" failed (").AppendDecimal(error).Append(") at ");
  line.AppendHex(reinterpret_cast<std::uintptr_t>(address)).Append("\n");
  OnOutput(line.Text());
}

void CallStackReporter::OnOutput(const char* /*text*/) {}

QmStackWalker::QmStackWalker(bool echo, TraceType traceType) : echo_(echo), traceType_(traceType) {}

void QmStackWalker::OnModuleLoaded(const StackModule& module) {
  PrintToStandardOutput("OnLoadModule\n");
  CallStackReporter::OnModuleLoaded(module);
}

void QmStackWalker::OnCallStackEntry(const StackFrame& frame) {
  PrintToStandardOutput("OnCallStackEntry\n");
  CallStackReporter::OnCallStackEntry(frame);
}

void QmStackWalker::OnWalkError(const char* operation, int error, const void* address) {
  PrintToStandardOutput("OnDbgHelpErr\n");
  CallStackReporter::OnWalkError(operation, error, address);
}

void QmStackWalker::OnOutput(const char* text) {
  // Standard output first: it is the part that is safe after a crash.
  if (echo_) PrintToStandardOutput(text);
  // A failing trace call (the controller is shut down at exit) costs only
  // the trace copy: a report, perhaps made by the crash handler, goes on.
  try {
    s_trace(traceType_, "%s", text);
  } catch (...) {  // NOLINT(bugprone-empty-catch): nothing else to report to
  }
}

}  // namespace dp
