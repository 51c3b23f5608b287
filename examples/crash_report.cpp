// A crash report.
//
// The program installs the library's last-chance handler, then crashes in a
// function a few calls deep: the handler prints the modules and the call
// stack with demangled names, waits for return (or end of input), and the
// program ends by the signal that crashed it. Run it as
//   crash_report </dev/null; echo "ended by signal $(($? - 128))"
// and, with "abort" as its argument, for an abort instead of a bad access.
#include <cstdlib>
#include <cstring>

#include "qmkutils/platform/exceptionhandler.h"

namespace loader {

// Kept out of line so that each shows as a frame of its own.
[[gnu::noinline]] void ParseHeader(volatile int* header, bool abortInstead) {
  if (abortInstead) std::abort();
  *header = 1;  // header is null: a bad access
}

[[gnu::noinline]] void LoadDocument(volatile int* header, bool abortInstead) {
  ParseHeader(header, abortInstead);
}

}  // namespace loader

int main(int argc, char** argv) {
  dp::ExceptionHandler::SetProgrammeName("crash_report");
  dp::ExceptionHandler::AddExceptionHandler();
  const bool abortInstead = argc > 1 && std::strcmp(argv[1], "abort") == 0;
  volatile int* nowhere = nullptr;
  loader::LoadDocument(nowhere, abortInstead);
  return 0;
}
