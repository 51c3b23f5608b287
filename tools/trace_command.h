// `qmk trace`: the trace viewer.
//
// Listens on the trace viewer endpoint (see qmkutils/tracing/viewerendpoint.h) and
// prints the plain trace line of every record that the traced processes of
// this user send, from any number of processes at once. Trace lines are the
// only thing written to standard output, one flushed write per line; the
// endpoint's path and any error go to standard error.
//
// Guarantees:
// - a malformed record, or a connection that breaks, costs only that record
//   or that connection; the viewer goes on;
// - the filters (--type, --key) read the exact plain-line layout, so an
//   empty key or sub-key is told apart from a blank in the text;
// - no line can send control sequences to the terminal: a backslash is
//   shown as "\\", C0 controls (tab aside), DEL and each byte of ill-formed
//   UTF-8 as "\x" and two hexadecimal digits ("\x1b", "\xff"), C1 controls
//   as "\u" and four ("\u0085"); other text, UTF-8 included, is unchanged;
// - SIGINT, SIGTERM and SIGHUP, reaching --count, or standard output going
//   away all end the viewer with status 0 and remove its endpoint, the
//   signals also while a pipe or socket on standard output is full; a
//   viewer never removes an endpoint that is not its own;
// - a second viewer on the same endpoint fails with status 1 and leaves the
//   first undisturbed.
#ifndef QMKUTILS_TOOLS_TRACE_COMMAND_H_
#define QMKUTILS_TOOLS_TRACE_COMMAND_H_

namespace qmk {

// Runs the viewer with the arguments that follow "trace"; returns the exit
// status: 0 after a normal end, 1 when the viewer cannot run, 2 for bad
// options.
int RunTraceCommand(int argc, char** argv);

}  // namespace qmk

#endif  // QMKUTILS_TOOLS_TRACE_COMMAND_H_
