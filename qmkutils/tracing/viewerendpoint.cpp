#include "qmkutils/tracing/viewerendpoint.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>

#include "qmkutils/platform/environment.h"

namespace dp {

namespace {

constexpr uint32_t kLineRecord = 1;

bool MakeAddress(const std::string& path, sockaddr_un* address) {
  if (path.size() >= sizeof(address->sun_path)) return false;
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  memcpy(address->sun_path, path.data(), path.size());
  return true;
}

bool PeerIsThisUser(int socket) {
  ucred peer;
  socklen_t size = sizeof peer;
  return getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == geteuid();
}

bool SetSendTimeout(int fd, int seconds) {
  const timeval timeout{seconds, 0};
  return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0;
}

// The send time-out also bounds connect: a viewer that stopped accepting
// cannot hold the first trace call of a program for long.
int ConnectTo(const sockaddr_un& address) {
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (!SetSendTimeout(fd, 1) ||
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void PutLittleEndian32(char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string FallbackDirectory() { return "/tmp/qmtracer-" + std::to_string(geteuid()); }

// A real directory (not a symlink, which could be pointed elsewhere) of this
// user that nobody else may enter: what sits in it is out of everybody
// else's reach.
bool IsPrivateDirectory(const std::string& directory) {
  struct stat status;
  return lstat(directory.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
         status.st_uid == geteuid() && (status.st_mode & 077) == 0;
}

std::string EndpointDirectory() {
  std::string runtime = Environment::Get("XDG_RUNTIME_DIR");
  return !runtime.empty() && IsPrivateDirectory(runtime) ? runtime : FallbackDirectory();
}

// strerror's text, from the thread-safe variant (GNU's, which returns it).
std::string ErrorText(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof buffer);
}

// Creates the directory private when it is missing, and accepts it only if
// it is private: the fallback sits in /tmp, where anybody may have made it
// first.
bool MakePrivateDirectory(const std::string& directory, std::string* error) {
  if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = "cannot create " + directory + ": " + ErrorText(errno);
    return false;
  }
  if (!IsPrivateDirectory(directory)) {
    *error = directory + " is not a private directory of this user";
    return false;
  }
  return true;
}

// An endpoint worth connecting to: a socket (not a symlink) of this user in
// a private directory of this user. Anything else is somebody else's trap,
// or a squatter that would cost the connect time-out.
bool IsOwnEndpoint(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || !IsPrivateDirectory(slash == 0 ? "/" : path.substr(0, slash))) {
    return false;
  }
  struct stat status;
  return lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode) &&
         status.st_uid == geteuid();
}

uint32_t GetLittleEndian32(const char* in) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= uint32_t{static_cast<unsigned char>(in[i])} << (8 * i);
  return value;
}

}  // namespace

std::string TraceViewerEndpoint::GetPath() { return EndpointDirectory() + "/qmtracer"; }

int TraceViewerEndpoint::Connect() { return Connect(GetPath()); }

int TraceViewerEndpoint::Connect(const std::string& path) {
  sockaddr_un address;
  if (!IsOwnEndpoint(path) || !MakeAddress(path, &address)) return -1;
  int fd = ConnectTo(address);
  if (fd < 0) return -1;
  if (!PeerIsThisUser(fd) || !SetSendTimeout(fd, 5)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int TraceViewerEndpoint::Listen(std::string* error) {
  const std::string directory = EndpointDirectory();
  if (!MakePrivateDirectory(directory, error)) return -1;
  const std::string path = directory + "/qmtracer";
  sockaddr_un address;
  if (!MakeAddress(path, &address)) {
    *error = "the endpoint path is too long: " + path;
    return -1;
  }
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("cannot create a socket: ") + ErrorText(errno);
    return -1;
  }
  auto bindAddress = [&] {
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  };
  bool bound = bindAddress();
  if (!bound && errno == EADDRINUSE) {
    if (int other = ConnectTo(address); other >= 0) {
      ::close(other);
      ::close(fd);
      *error = "another trace viewer is listening on " + path;
      return -1;
    }
    // Nobody listens: a dead viewer's endpoint, removed only if it is ours.
    struct stat status;
    if (lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode) &&
        status.st_uid == geteuid() && unlink(path.c_str()) == 0) {
      bound = bindAddress();
    } else {
      errno = EADDRINUSE;
    }
  }
  // The socket keeps the mode the umask gives it: the private directory is
  // what keeps everybody else out. Changing the mode by path after bind
  // could reach whatever a racing process put there instead, and narrowing
  // the umask around bind would touch every thread of the process.
  if (!bound || ::listen(fd, SOMAXCONN) != 0) {
    *error = "cannot listen on " + path + ": " + ErrorText(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

int TraceViewerEndpoint::Accept(int listener) {
  int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (connection >= 0 && !PeerIsThisUser(connection)) {
    ::close(connection);
    errno = EPERM;
    return -1;
  }
  return connection;
}

bool TraceViewerEndpoint::SendLine(int socket, std::string_view line, bool wait) {
  if (line.size() > kMaxLine) return false;
  char record[kMaxRecord];
  PutLittleEndian32(record, kLineRecord);
  PutLittleEndian32(record + 4, static_cast<uint32_t>(line.size()));
  memcpy(record + 8, line.data(), line.size());
  const std::size_t size = 8 + line.size();
  ssize_t sent;
  do {
    sent = ::send(socket, record, size, MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(size);
}

bool TraceViewerEndpoint::DecodeRecord(std::string_view record, std::string_view* line) {
  if (record.size() < 8 || GetLittleEndian32(record.data()) != kLineRecord) return false;
  if (GetLittleEndian32(record.data() + 4) != record.size() - 8) return false;
  *line = record.substr(8);
  return true;
}

}  // namespace dp
