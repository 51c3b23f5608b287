#include "qmkutils/platform/socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "qmkutils/platform/internal/filesystem.h"
#include "qmkutils/platform/internal/forkhandlers.h"
#include "qmkutils/platform/lockable.h"
#include "qmkutils/platform/locks.h"
#include "qmkutils/tracing/tracer.h"

namespace dp {

// The process-wide state behind dp::Socket: the cached host name and the lock
// around the name-service calls that the library serialises. Created on first
// use and never destroyed (see socket.h). Private to this file.
class ProtectedSocketOps {
 public:
  static ProtectedSocketOps& Instance();

  const char* GetHostname() QMK_EXCLUDES(lock_);
  // The service's port in host byte order; false when the lookup fails, and
  // then `*code` is the lookup's return code (0: no such service).
  bool LookUpService(const char* service, const char* protocol, unsigned short* port, int* code)
      QMK_EXCLUDES(lock_);
  // getnameinfo with a numeric host and service; false on failure.
  bool NumericNameInfo(const sockaddr* address, socklen_t length, std::string* host,
                       std::string* service) QMK_EXCLUDES(lock_);

 private:
  ProtectedSocketOps() = default;

  static void LockForFork() QMK_NO_THREAD_SAFETY_ANALYSIS;
  static void UnlockAfterFork() QMK_NO_THREAD_SAFETY_ANALYSIS;

  static inline std::atomic<ProtectedSocketOps*> s_forkInstance{nullptr};
  static const fork::Registration s_forkRegistration;

  SpinLock lock_{500};
  // Set once, under the lock, when the host name is known; read without it.
  std::atomic<const char*> hostnameText_{nullptr};
  bool hostnameKnown_ QMK_GUARDED_BY(lock_) = false;
  std::string hostname_ QMK_GUARDED_BY(lock_);
};

namespace {

const QMTracer s_trace("dp", "Socket");

thread_local Socket::Error t_lastError = Socket::kNoError;

constexpr const char* kUnexpectedText = "An unexpected error condition occurred.";

// Indexed by Error; 13 has no text of its own.
constexpr const char* kErrorTexts[] = {
    "No socket error.",
    "The remote connection has closed the socket.",
    "The network subsystem (or service provider) hs failed.",
    "The file descriptor tables are full.",
    "The file descriptor given is not that of a read/writeable file",
    "Permission to create a socket of the specified type and/or protocol is denied.",
    "Insufficient buffer space is available. The socket cannot be created until sufficient "
    "resources are freed.",
    "The specified address is not available.",
    "Connection establishment timed out withoutestablishing a connection.",
    "The attempt to connect was forcefully rejected.",
    "The network isn't reachable from this host.",
    "The address is already in use.",
    "The socket is non-blocking and the connection cannot be completed immediately. It is "
    "possible to recieve confirmation of connecting asynchronously.",
    kUnexpectedText,
    "A named service was unknown.",
    "A Host name specified in a connect could not be found.",
    "There was some problem in host lookup.This is usually a temporary error and means that the "
    "local server did not receive a response from an authoritative server. A retry at some "
    "later time may succeed.",
    "Some unexpected server failure was encountered. This is a non-recoverable error.",
    "The requested name is valid but does not have an IP address; this is not a temporary "
    "error. This means that the name is known to the name server but there is no address "
    "associated with this name.  Another type of request to the name server using this domain "
    "name results in an answer; for example, a mail-forwarder can be registered for this "
    "domain.",
};
constexpr int kErrorTextCount = static_cast<int>(sizeof kErrorTexts / sizeof kErrorTexts[0]);
static_assert(kErrorTextCount == 19);

void TraceUnexpected(int code) { s_trace("Got unexpected error = %d.\n", code); }

// The general mapping of an errno value.
Socket::Error MapSystemError(int code) {
  switch (code) {
    case ECONNRESET:
    case EPIPE:
      return Socket::kConnectionClosed;
    case ENOTSOCK:
    case EBADF:
    case ENETDOWN:
      return Socket::kNetworkDown;
    case EMFILE:
    case ENFILE:
      return Socket::kDescriptorTablesFull;
    case EACCES:
    case EPERM:
      return Socket::kPermissionDenied;
    case ENOBUFS:
    case ENOMEM:
      return Socket::kNoBufferSpace;
    case EADDRNOTAVAIL:
      return Socket::kAddressNotAvailable;
    case ETIMEDOUT:
      return Socket::kTimedOut;
    case ECONNREFUSED:
      return Socket::kConnectionRefused;
    case ENETUNREACH:
    case EHOSTUNREACH:
      return Socket::kNetworkUnreachable;
    case EADDRINUSE:
      return Socket::kAddressInUse;
    case EINPROGRESS:
    case EALREADY:
      return Socket::kInProgress;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return Socket::kWouldBlock;
    default:
      TraceUnexpected(code);
      return Socket::kUnexpectedError;
  }
}

void MapGeneral(int code) { t_lastError = MapSystemError(code); }

// The host-lookup mapping of a getaddrinfo result; `savedErrno` is errno as
// getaddrinfo left it.
void MapHostLookup(int code, int savedErrno) {
  switch (code) {
    case EAI_NONAME:
      t_lastError = Socket::kHostNotFound;
      return;
    case EAI_AGAIN:
      t_lastError = Socket::kHostTryAgain;
      return;
    case EAI_FAIL:
      t_lastError = Socket::kHostNoRecovery;
      return;
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      t_lastError = Socket::kHostNoData;
      return;
    case EAI_SYSTEM:
      MapGeneral(savedErrno);
      return;
    default:
      TraceUnexpected(code);
      t_lastError = Socket::kHostNoRecovery;
      return;
  }
}

// The general mapping applied to a failed getaddrinfo of the wildcard address.
void MapWildcardLookup(int code, int savedErrno) {
  if (code == EAI_SYSTEM) {
    MapGeneral(savedErrno);
  } else {
    TraceUnexpected(code);
    t_lastError = Socket::kUnexpectedError;
  }
}

using fsutil::CloseQuietly;

// A new close-on-exec socket of `type`; -1 with errno set.
int CreateSocket(Socket::SocketType type) {
  if (type == Socket::kDatagram) return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (type != Socket::kStream) {
    errno = ESOCKTNOSUPPORT;
    return -1;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd >= 0) {
    const int size = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  return fd;
}

// getaddrinfo for IP version 4 with the port as decimal text; the wildcard
// address when `host` is null.
int Resolve(const char* host, unsigned short port, addrinfo** list) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  if (host == nullptr) hints.ai_flags = AI_PASSIVE;
  const std::string service = std::to_string(port);
  *list = nullptr;
  return ::getaddrinfo(host, service.c_str(), &hints, list);
}

int SetNonBlocking(int fd, bool on) {
  int value = on ? 1 : 0;
  return ::ioctl(fd, FIONBIO, &value);
}

// connect(), resumed after a signal: a blocking connect that a signal
// interrupted goes on in the background, so wait for its outcome.
int ConnectFd(int fd, const sockaddr* address, socklen_t length, bool blocking) {
  if (::connect(fd, address, length) == 0) return 0;
  if (errno != EINTR) return -1;
  if (!blocking) {
    errno = EINPROGRESS;
    return -1;
  }
  pollfd waiting{fd, POLLOUT, 0};
  int ready;
  do {
    ready = ::poll(&waiting, 1, -1);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return -1;
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return -1;
  if (error == 0) return 0;
  errno = error;
  return -1;
}

// "host:port", "[host]:port" or the host alone, as the option says.
std::string AddressText(const sockaddr_storage& address, socklen_t length,
                        Socket::GetAddrOption option) {
  std::string host, service;
  if (!ProtectedSocketOps::Instance().NumericNameInfo(reinterpret_cast<const sockaddr*>(&address),
                                                      length, &host, &service)) {
    return {};
  }
  if (option != Socket::kAddressAndPort) return host;
  if (address.ss_family == AF_INET) return host + ":" + service;
  if (address.ss_family == AF_INET6) return "[" + host + "]:" + service;
  return {};
}

}  // namespace

// Made on first use and published with one compare-and-swap rather than
// behind a function-local static, whose guard a fork could catch half set.
ProtectedSocketOps& ProtectedSocketOps::Instance() {
  ProtectedSocketOps* ops = s_forkInstance.load(std::memory_order_acquire);
  if (ops != nullptr) return *ops;
  auto* created = new ProtectedSocketOps;
  if (s_forkInstance.compare_exchange_strong(ops, created, std::memory_order_acq_rel)) {
    return *created;
  }
  delete created;
  return *ops;
}

const fork::Registration ProtectedSocketOps::s_forkRegistration(fork::Participant::kSocketOps,
                                                                {&LockForFork, &UnlockAfterFork,
                                                                 &UnlockAfterFork});

void ProtectedSocketOps::LockForFork() {
  if (ProtectedSocketOps* ops = s_forkInstance.load(std::memory_order_acquire)) ops->lock_.Lock();
}

void ProtectedSocketOps::UnlockAfterFork() {
  if (ProtectedSocketOps* ops = s_forkInstance.load(std::memory_order_acquire)) {
    ops->lock_.Unlock();
  }
}

const char* ProtectedSocketOps::GetHostname() {
  if (const char* known = hostnameText_.load(std::memory_order_acquire)) return known;
  SpinLockGuard guard(lock_);
  if (!hostnameKnown_) {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return nullptr;
    hostname_ = name;
    hostnameKnown_ = true;
    hostnameText_.store(hostname_.c_str(), std::memory_order_release);
  }
  return hostname_.c_str();
}

bool ProtectedSocketOps::LookUpService(const char* service, const char* protocol,
                                       unsigned short* port, int* code) {
  SpinLockGuard guard(lock_);
  std::vector<char> buffer(1024);
  servent entry{};
  servent* found = nullptr;
  int result;
  while ((result = ::getservbyname_r(service, protocol, &entry, buffer.data(), buffer.size(),
                                     &found)) == ERANGE &&
         buffer.size() < (std::size_t{1} << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  *code = result;
  if (result != 0 || found == nullptr) return false;
  *port = ntohs(static_cast<std::uint16_t>(found->s_port));
  return true;
}

bool ProtectedSocketOps::NumericNameInfo(const sockaddr* address, socklen_t length,
                                         std::string* host, std::string* service) {
  char hostText[NI_MAXHOST];
  char serviceText[NI_MAXSERV];
  SpinLockGuard guard(lock_);
  if (::getnameinfo(address, length, hostText, sizeof hostText, serviceText, sizeof serviceText,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return false;
  }
  *host = hostText;
  *service = serviceText;
  return true;
}

Socket::Socket() : fd_(kInvalidFd) { ProtectedSocketOps::Instance(); }

Socket::Socket(void* handle) : fd_(kInvalidFd) {
  ProtectedSocketOps::Instance();
  const auto value = reinterpret_cast<std::intptr_t>(handle);
  if (value >= 0 && value <= INT_MAX) fd_ = static_cast<int>(value);
}

void* Socket::GetFd() const { return reinterpret_cast<void*>(static_cast<std::intptr_t>(fd_)); }

int Socket::Close() {
  if (!IsValid()) return 0;
  const int fd = fd_;
  fd_ = kInvalidFd;
  // Linux releases the descriptor even when close reports EINTR.
  if (::close(fd) == 0 || errno == EINTR) return 0;
  MapGeneral(errno);
  return -1;
}

int Socket::BindListen(unsigned short* port, AddressReuse reuse, SocketType type, int backlog) {
  if (IsValid()) Close();
  if (port == nullptr) {
    MapGeneral(EINVAL);
    return -1;
  }
  addrinfo* list = nullptr;
  if (const int result = Resolve(nullptr, *port, &list); result != 0) {
    MapWildcardLookup(result, errno);
    return -1;
  }
  int fd = -1;
  int lastError = EADDRNOTAVAIL;
  for (const addrinfo* address = list; address != nullptr; address = address->ai_next) {
    fd = CreateSocket(type);
    if (fd < 0) {
      lastError = errno;
      continue;
    }
    const int on = reuse != kNoReuse ? 1 : 0;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
      const int error = errno;
      ::close(fd);
      ::freeaddrinfo(list);
      MapGeneral(error);
      return -1;
    }
    if (::bind(fd, address->ai_addr, address->ai_addrlen) == 0) break;
    lastError = errno;
    ::close(fd);
    fd = -1;
  }
  ::freeaddrinfo(list);
  if (fd < 0) {
    MapGeneral(lastError);
    return -1;
  }
  if (*port == 0) {
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
      const int error = errno;
      ::close(fd);
      MapGeneral(error);
      return -1;
    }
    *port = ntohs(bound.sin_port);
  }
  if (type == kStream && ::listen(fd, backlog) != 0) {
    const int error = errno;
    ::close(fd);
    MapGeneral(error);
    return -1;
  }
  fd_ = fd;
  return 0;
}

int Socket::BindListen(const char* service, AddressReuse reuse, SocketType type, int backlog) {
  unsigned short port = 0;
  int code = 0;
  if (service == nullptr || !ProtectedSocketOps::Instance().LookUpService(
                                service, type == kStream ? "tcp" : "udp", &port, &code)) {
    if (code != 0) TraceUnexpected(code);
    t_lastError = kUnknownService;
    return -1;
  }
  return BindListen(&port, reuse, type, backlog);
}

int Socket::Connect(const char* host, unsigned short port, bool blocking, SocketType type) {
  if (IsValid()) Close();
  addrinfo* list = nullptr;
  const int result = Resolve(host, port, &list);
  const bool resolved = result == 0;
  if (!resolved) {
    MapHostLookup(result, errno);
    list = nullptr;
  }
  int fd = -1;
  int lastError = EADDRNOTAVAIL;
  for (const addrinfo* address = list; address != nullptr; address = address->ai_next) {
    fd = CreateSocket(type);
    if (fd < 0) {
      lastError = errno;
      continue;
    }
    if (!blocking && SetNonBlocking(fd, true) != 0) MapGeneral(errno);
    if (ConnectFd(fd, address->ai_addr, address->ai_addrlen, blocking) == 0) break;
    lastError = errno;
    CloseQuietly(fd);
    fd = -1;
  }
  if (list != nullptr) ::freeaddrinfo(list);
  if (fd >= 0) {
    fd_ = fd;
    return 0;
  }
  // A failed host lookup keeps its own error.
  if (resolved) MapGeneral(lastError);
  return -1;
}

int Socket::Connect(const char* host, const char* service, bool blocking, SocketType type) {
  unsigned short port = 0;
  int code = 0;
  if (service == nullptr || !ProtectedSocketOps::Instance().LookUpService(
                                service, type == kStream ? "tcp" : "udp", &port, &code)) {
    if (code != 0) TraceUnexpected(code);
    t_lastError = kUnknownService;
    return -1;
  }
  return Connect(host, port, blocking, type);
}

Socket Socket::Accept() {
  Socket accepted;
  int flags = SOCK_CLOEXEC;
  const int mode = ::fcntl(fd_, F_GETFL);
  if (mode != -1 && (mode & O_NONBLOCK) != 0) flags |= SOCK_NONBLOCK;
  int fd;
  do {
    fd = ::accept4(fd_, nullptr, nullptr, flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    MapGeneral(errno);
  } else {
    accepted.fd_ = fd;
  }
  return accepted;
}

int Socket::Send(void* buffer, int length) {
  if (length < 0) {
    MapGeneral(EINVAL);
    return -1;
  }
  ssize_t sent;
  do {
    sent = ::send(fd_, buffer, static_cast<std::size_t>(length), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    MapGeneral(errno);
    return -1;
  }
  return static_cast<int>(sent);
}

int Socket::Recv(void* buffer, int length) {
  if (length < 0) {
    MapGeneral(EINVAL);
    return -1;
  }
  ssize_t received;
  do {
    received = ::recv(fd_, buffer, static_cast<std::size_t>(length), 0);
  } while (received < 0 && errno == EINTR);
  if (received == 0) {
    t_lastError = kConnectionClosed;
    return -1;
  }
  if (received < 0) {
    MapGeneral(errno);
    return -1;
  }
  return static_cast<int>(received);
}

int Socket::NonBlockingOn() {
  if (SetNonBlocking(fd_, true) == 0) return 0;
  MapGeneral(errno);
  return -1;
}

int Socket::NonBlockingOff() {
  if (SetNonBlocking(fd_, false) == 0) return 0;
  MapGeneral(errno);
  return -1;
}

int Socket::AllowBroadcast() {
  const int on = 1;
  if (::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0) return 0;
  MapGeneral(errno);
  return -1;
}

std::string Socket::GetSocketAddress(GetAddrOption option) const {
  if (!IsValid()) return {};
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  return AddressText(address, length, option);
}

std::string Socket::GetPeerAddress(GetAddrOption option) const {
  if (!IsValid()) return {};
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  return AddressText(address, length, option);
}

Socket::Error Socket::GetLastError() { return t_lastError; }

const char* Socket::StrError(Error error) {
  const int index = static_cast<int>(error);
  if (index < 0 || index >= kErrorTextCount) return kUnexpectedText;
  return kErrorTexts[index];
}

const char* Socket::StrGetLastError() { return StrError(GetLastError()); }

const char* Socket::GetHostname() { return ProtectedSocketOps::Instance().GetHostname(); }

bool Socket::HostnameIsValid(const char* name) {
  if (name == nullptr) {
    t_lastError = kHostNotFound;
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (const int result = ::getaddrinfo(name, nullptr, &hints, &list); result != 0) {
    MapHostLookup(result, errno);
    return false;
  }
  bool found = false;
  for (const addrinfo* address = list; address != nullptr; address = address->ai_next) {
    found = found || address->ai_family == AF_INET;
  }
  ::freeaddrinfo(list);
  if (!found) t_lastError = kHostNoData;
  return found;
}

}  // namespace dp
