// The trace viewer's endpoint.
//
// A trace viewer (the `qmk trace` tool, or any program of the user's) listens
// on a Unix-domain SOCK_SEQPACKET socket named "qmtracer" in a directory
// private to its user: $XDG_RUNTIME_DIR when that is a directory (not a
// symlink) owned by the user and closed to group and others, else
// /tmp/qmtracer-<uid>, which the viewer creates with mode 0700 and refuses to
// use when it belongs to anybody else or is open to others. A process whose
// trace controller finds it listening when the controller is built sends it
// every plain trace line as one record: the number 1 and the line's length as
// 32-bit little-endian integers, then the line's bytes (line feed included,
// no terminating NUL). Lines of 1024 bytes or more are not sent.
//
// Nobody else can listen in or stand in:
// - the viewer binds its socket inside the private directory and never
//   changes a mode by path afterwards, so a file swapped in meanwhile is
//   never touched;
// - a traced process connects only when the directory is still a private
//   one of its user and the endpoint is a socket of its user (lstat: a
//   symlink does not count), so a directory or socket that someone else
//   placed is refused at once, without waiting for a connection;
// - both sides accept only a peer of the same user: a viewer started by
//   someone else never sees this user's trace.
#ifndef QMKUTILS_TRACING_VIEWERENDPOINT_H_
#define QMKUTILS_TRACING_VIEWERENDPOINT_H_

#include <string>
#include <string_view>

#include "qmkutils/platform/export.h"

namespace dp {

class QMK_EXPORT TraceViewerEndpoint {
 public:
  // Longest line sent; longer lines are dropped.
  static constexpr std::size_t kMaxLine = 1023;
  // Longest record: header and line.
  static constexpr std::size_t kMaxRecord = 8 + kMaxLine;

  // Where the endpoint is, as chosen above.
  static std::string GetPath();

  // A socket connected to a listening viewer of this user (close-on-exec,
  // with a 5 s send time-out for SendLine's waiting form), or -1 when there
  // is none.
  static int Connect();
  // The same for the endpoint at `path`, with the same checks of the socket
  // and of its directory.
  static int Connect(const std::string& path);

  // The viewer's side: a listening socket at GetPath(), replacing an
  // endpoint left behind by a viewer that died. -1, with the reason in
  // `error`, when the path is unusable or another viewer is listening.
  static int Listen(std::string* error);

  // Accepts one waiting connection (close-on-exec, non-blocking). -1 with
  // errno from accept4 when none is taken; a connection from another user
  // is closed and reported as -1 with errno EPERM.
  static int Accept(int listener);

  // Sends one line as one record, waiting (up to the socket's send time-out)
  // for room when `wait`; false when the line is too long or the viewer did
  // not take it.
  static bool SendLine(int socket, std::string_view line, bool wait = true);

  // The line a received record carries; false for a malformed record.
  static bool DecodeRecord(std::string_view record, std::string_view* line);
};

}  // namespace dp

#endif  // QMKUTILS_TRACING_VIEWERENDPOINT_H_
