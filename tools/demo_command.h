// `qmk demo`: a short tour of the library for newcomers.
//
// In a few named steps it picks where trace lines go (a running `qmk trace`,
// QUILL_PROC_TRACE or QUILL_TRACE, else standard output), traces in the
// printf and the stream form with several message types, and runs a few
// dp::Threads with thread-exit calls, one of which throws so that the
// library's "caught exception" trace line shows. Notes for the reader go to
// standard error; standard output carries only trace lines, if any. The demo
// ends with status 0 unless a thread cannot be started.
//
// `qmk demo --step` waits for Enter before each step after the first, so the
// lines can be read as they come; at the end of standard input it stops
// waiting and runs to the end.
#ifndef QMKUTILS_TOOLS_DEMO_COMMAND_H_
#define QMKUTILS_TOOLS_DEMO_COMMAND_H_

namespace qmk {

// Runs the demo with the arguments that follow "demo"; returns the exit
// status (2 for bad options).
int RunDemoCommand(int argc, char** argv);

}  // namespace qmk

#endif  // QMKUTILS_TOOLS_DEMO_COMMAND_H_
