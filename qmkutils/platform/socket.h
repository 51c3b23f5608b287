// IP version 4 TCP and UDP sockets with a per-thread error code.
//
// `dp::Socket` is a small value over one socket descriptor. It opens listening
// and connecting sockets, accepts, sends and receives, switches blocking mode,
// and reports failures as a per-thread `Error` from a fixed enumeration with
// fixed English texts (typos included, as the library has always written
// them). Copying copies the descriptor and destruction does not close it:
// ownership is the caller's affair, and Close() is explicit.
//
// The handle is a file descriptor, an `int`. GetFd() hands it out as a
// `void*` holding the descriptor's value (an intptr_t cast), and the `void*`
// constructor takes it back the same way. The invalid handle is -1, which is
// all bits set both as the `int` and as the `void*`; a `void*` whose value is
// not a descriptor (negative or above INT_MAX) makes an invalid socket.
//
// Linux behaviour:
// - every socket is made close-on-exec (SOCK_CLOEXEC, accept4), and Send
//   passes MSG_NOSIGNAL: no call raises SIGPIPE, a send to a reset connection
//   fails with error 1;
// - a socket returned by Accept takes the listener's non-blocking mode (as
//   Windows Sockets does; Linux alone would not);
// - stream sockets get send and receive buffers of 4096 bytes; Linux doubles
//   the value it reports back, so do not expect to read 4096;
// - calls interrupted by a signal (EINTR) are resumed, never reported; an
//   interrupted blocking connect is waited for until it completes.
// - errno values map to `Error` as follows: ECONNRESET, EPIPE, a receive of
//   zero bytes -> 1; ENOTSOCK, EBADF, ENETDOWN -> 2; EMFILE, ENFILE -> 3;
//   EACCES, EPERM -> 5; ENOBUFS, ENOMEM -> 6; EADDRNOTAVAIL -> 7; ETIMEDOUT
//   -> 8; ECONNREFUSED -> 9; ENETUNREACH, EHOSTUNREACH -> 10; EADDRINUSE ->
//   11; EINPROGRESS, EALREADY -> 12; EAGAIN/EWOULDBLOCK -> 13; anything else
//   traces "Got unexpected error = %d.\n" with the errno value (key "dp",
//   sub-key "Socket", Info) and gives 19.
// - host lookups (getaddrinfo) map EAI_NONAME -> 15, EAI_AGAIN -> 16,
//   EAI_FAIL -> 17, EAI_NODATA and EAI_ADDRFAMILY -> 18, EAI_SYSTEM -> the
//   errno mapping above; any other code traces the same line with the EAI
//   code and gives 17. A Connect whose host cannot be resolved keeps that
//   host-lookup error (the Windows original remapped it to "unexpected").
//   Resolving the wildcard address in BindListen cannot fail in practice; if
//   it does, EAI_SYSTEM maps errno and any other code traces and gives 19.
// - service lookups (getservbyname_r) give 14 for an unknown service, without
//   a trace, and trace the return code of a failed lookup before giving 14.
//
// Thread safety: operations on different Socket objects may run on any
// threads at once; the error code is per thread (a thread_local). A hidden,
// process-wide ProtectedSocketOps caches the host name and serialises the
// service lookups (getservbyname_r) and address formatting (getnameinfo)
// under one lock, held across fork() so that a forked child finds it free.
// Unlike the Windows original it needs no start-up or clean-up of the
// system's socket layer, so it is never destroyed: sockets stay usable
// during process exit and nothing here throws dp::DeadReference.
#ifndef QMKUTILS_PLATFORM_SOCKET_H_
#define QMKUTILS_PLATFORM_SOCKET_H_

#include <string>

#include "qmkutils/platform/export.h"

namespace dp {

class QMK_EXPORT Socket {
 public:
  // Any other value creates no socket.
  enum SocketType : int { kDatagram = 0, kStream = 1 };
  // Any value other than kNoReuse sets SO_REUSEADDR.
  enum AddressReuse : int { kNoReuse = 0, kReuse = 1 };
  enum GetAddrOption : int { kAddressAndPort = 0, kAddressOnly = 1 };
  // Every int is a valid Error (the underlying type is fixed).
  enum Error : int {
    kNoError = 0,               // a thread's initial value; never set
    kConnectionClosed = 1,      // reset, broken pipe, or the peer closed
    kNetworkDown = 2,           // not a socket, bad descriptor, network down
    kDescriptorTablesFull = 3,  // EMFILE, ENFILE
    kNotReadWriteFile = 4,      // never set
    kPermissionDenied = 5,      // EACCES, EPERM
    kNoBufferSpace = 6,         // ENOBUFS, ENOMEM
    kAddressNotAvailable = 7,   // EADDRNOTAVAIL
    kTimedOut = 8,              // ETIMEDOUT
    kConnectionRefused = 9,     // ECONNREFUSED
    kNetworkUnreachable = 10,   // ENETUNREACH, EHOSTUNREACH
    kAddressInUse = 11,         // EADDRINUSE
    kInProgress = 12,           // EINPROGRESS, EALREADY
    kWouldBlock = 13,           // EAGAIN / EWOULDBLOCK
    kUnknownService = 14,       // a service-name lookup failed
    kHostNotFound = 15,         // host lookup: EAI_NONAME
    kHostTryAgain = 16,         // host lookup: EAI_AGAIN
    kHostNoRecovery = 17,       // host lookup: EAI_FAIL or unexpected
    kHostNoData = 18,           // host lookup: EAI_NODATA, EAI_ADDRFAMILY
    kUnexpectedError = 19       // any other errno
  };

  static constexpr int kInvalidFd = -1;

  // An invalid socket.
  Socket();
  // Takes the descriptor held in `handle` (see GetFd).
  explicit Socket(void* handle);
  Socket(const Socket& other) = default;
  Socket& operator=(const Socket& other) = default;
  ~Socket() = default;

  // The descriptor as a void*; all bits set when invalid.
  void* GetFd() const;
  bool IsValid() const { return fd_ != kInvalidFd; }
  // Forgets the descriptor without closing it.
  void Invalidate() { fd_ = kInvalidFd; }
  bool CanBlockForAccept() const { return false; }

  // 0 when the socket was invalid or is closed now; -1 with the error mapped
  // when close fails. The socket is invalid afterwards in every case.
  int Close();

  // Closes a valid socket first, then binds a new one to the wildcard
  // address and `*port`, and listens (stream sockets) with `backlog`. A port
  // of 0 is replaced by the one the system chose. 0, or -1 with the socket
  // invalid.
  int BindListen(unsigned short* port, AddressReuse reuse, SocketType type, int backlog);
  // The same for a service name, looked up for "tcp" (stream) or "udp".
  int BindListen(const char* service, AddressReuse reuse, SocketType type, int backlog);

  // Closes a valid socket first, then connects to each address of `host` in
  // turn until one succeeds (a null host means the local wildcard address).
  // A non-blocking connect that cannot complete at once counts as failed
  // (error 12). 0, or -1 with the socket invalid.
  int Connect(const char* host, unsigned short port, bool blocking, SocketType type);
  int Connect(const char* host, const char* service, bool blocking, SocketType type);

  // The accepted connection, or an invalid socket with the error mapped.
  Socket Accept();

  // Bytes sent, or -1 with the error mapped.
  int Send(void* buffer, int length);
  // Bytes received; -1 with error 1 when the peer has closed the connection
  // (zero bytes), -1 with the error mapped on failure.
  int Recv(void* buffer, int length);

  // 0, or -1 with the error mapped.
  int NonBlockingOn();
  int NonBlockingOff();
  int AllowBroadcast();

  // "host:port" ("[host]:port" for IP version 6), or the numeric host alone
  // for kAddressOnly; empty on an invalid socket or failure.
  std::string GetSocketAddress(GetAddrOption option = kAddressAndPort) const;
  std::string GetPeerAddress(GetAddrOption option = kAddressAndPort) const;

  // The calling thread's last error.
  static Error GetLastError();
  // The fixed text of `error`; "An unexpected error condition occurred." for
  // 13 and for values outside 0-18.
  static const char* StrError(Error error);
  static const char* StrGetLastError();

  // The local host name, fetched once and cached (at most 255 characters),
  // or null when it cannot be fetched. The text lives as long as the process.
  static const char* GetHostname();
  // True when `name` resolves to at least one IP version 4 address;
  // otherwise the host-lookup error is set (15 for an unknown name).
  static bool HostnameIsValid(const char* name);

 private:
  int fd_;
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_SOCKET_H_
