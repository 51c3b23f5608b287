#include "qmkutils/platform/socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/eventually.h"
#include "support/recording_consumer.h"
#include "support/run_threads.h"

namespace {

using dp::Socket;

int FdOf(const Socket& socket) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(socket.GetFd()));
}

bool IsCloseOnExec(const Socket& socket) {
  return (fcntl(FdOf(socket), F_GETFD) & FD_CLOEXEC) != 0;
}

bool IsNonBlocking(const Socket& socket) {
  return (fcntl(FdOf(socket), F_GETFL) & O_NONBLOCK) != 0;
}

int Send(Socket& socket, std::string text) {
  return socket.Send(text.data(), static_cast<int>(text.size()));
}

// Exactly `length` bytes, or what came before the connection failed.
std::string Receive(Socket& socket, int length) {
  std::string data(static_cast<std::size_t>(length), '\0');
  for (int total = 0, got = 0; total < length; total += got) {
    got = socket.Recv(data.data() + total, length - total);
    if (got <= 0) return data.substr(0, static_cast<std::size_t>(total));
  }
  return data;
}

// A name under ".invalid" is unknown where a resolver answers, and a
// try-again where none can be reached.
bool IsUnresolvedHostError(int error) {
  return error == Socket::kHostNotFound || error == Socket::kHostTryAgain;
}

// A listening TCP socket on an ephemeral port of every local address.
struct Listener {
  Listener() { EXPECT_EQ(0, socket.BindListen(&port, Socket::kReuse, Socket::kStream, 5)); }
  ~Listener() { socket.Close(); }
  Socket socket;
  unsigned short port = 0;
};

// A connected pair over the loopback: the client's and the accepted end.
struct Connection {
  Connection() {
    std::thread accepting([this] { server = listener.socket.Accept(); });
    EXPECT_EQ(0, client.Connect("127.0.0.1", listener.port, true, Socket::kStream));
    accepting.join();
    EXPECT_TRUE(server.IsValid());
  }
  ~Connection() {
    client.Close();
    server.Close();
  }
  Listener listener;
  Socket client, server;
};

TEST(Socket, BindListenFailuresLeaveAnInvalidSocketThatFailsWithNetworkDown) {
  Listener listener;
  std::string address = "0.0.0.0:";
  EXPECT_EQ(address += std::to_string(listener.port), listener.socket.GetSocketAddress());
  EXPECT_EQ("0.0.0.0", listener.socket.GetSocketAddress(Socket::kAddressOnly));
  EXPECT_TRUE(IsCloseOnExec(listener.socket));
  Socket socket;
  EXPECT_EQ(-1, socket.BindListen(&listener.port, Socket::kNoReuse, Socket::kStream, 5));
  EXPECT_EQ(Socket::kAddressInUse, Socket::GetLastError());
  EXPECT_STREQ("The address is already in use.", Socket::StrGetLastError());
  // Another socket type or an unknown service creates no socket.
  unsigned short port = 0;
  EXPECT_EQ(-1, socket.BindListen(&port, Socket::kReuse, static_cast<Socket::SocketType>(5), 1));
  EXPECT_EQ(-1, socket.BindListen("qmk-no-such-service", Socket::kReuse, Socket::kStream, 5));
  EXPECT_EQ(Socket::kUnknownService, Socket::GetLastError());
  EXPECT_STREQ("A named service was unknown.", Socket::StrGetLastError());
  EXPECT_EQ(-1, socket.BindListen(static_cast<const char*>(nullptr), Socket::kReuse,
                                  Socket::kDatagram, 0));
  EXPECT_EQ(Socket::kUnknownService, Socket::GetLastError());

  EXPECT_FALSE(socket.IsValid() || socket.CanBlockForAccept());
  char buffer[4];
  EXPECT_TRUE(socket.Recv(buffer, 4) == -1 && Socket::GetLastError() == Socket::kNetworkDown);
  EXPECT_TRUE(socket.Send(buffer, 4) == -1 && Socket::GetLastError() == Socket::kNetworkDown);
  EXPECT_FALSE(socket.Accept().IsValid());
  EXPECT_EQ(Socket::kNetworkDown, Socket::GetLastError());
  EXPECT_EQ("", socket.GetSocketAddress() + socket.GetPeerAddress());
}

TEST(Socket, AConnectionExchangesDataUntilThePeerCloses) {
  Connection connection;
  Socket& client = connection.client;
  EXPECT_TRUE(IsCloseOnExec(client) && IsCloseOnExec(connection.server));
  EXPECT_FALSE(IsNonBlocking(connection.server));  // as its listener
  std::string peer = "127.0.0.1:";
  EXPECT_EQ(peer += std::to_string(connection.listener.port), client.GetPeerAddress());
  EXPECT_EQ("127.0.0.1", client.GetPeerAddress(Socket::kAddressOnly));
  EXPECT_EQ(4, Send(client, "ping"));
  EXPECT_EQ("ping", Receive(connection.server, 4));
  char buffer[16];
  ASSERT_EQ(0, client.NonBlockingOn());
  EXPECT_EQ(-1, client.Recv(buffer, sizeof buffer));
  EXPECT_EQ(Socket::kWouldBlock, Socket::GetLastError());
  ASSERT_EQ(0, client.NonBlockingOff());
  EXPECT_FALSE(IsNonBlocking(client));
  connection.server.Close();
  EXPECT_EQ(-1, client.Recv(buffer, sizeof buffer));
  EXPECT_EQ(Socket::kConnectionClosed, Socket::GetLastError());
  EXPECT_STREQ("The remote connection has closed the socket.", Socket::StrGetLastError());

  // A non-blocking listener says so while nothing is pending and passes the
  // mode on to what it accepts.
  Socket& listener = connection.listener.socket;
  ASSERT_EQ(0, listener.NonBlockingOn());
  EXPECT_FALSE(listener.Accept().IsValid());
  EXPECT_EQ(Socket::kWouldBlock, Socket::GetLastError());
  Socket second;
  ASSERT_EQ(0, second.Connect("127.0.0.1", connection.listener.port, true, Socket::kStream));
  ASSERT_TRUE(
      qmk_test::Eventually([&] { return (connection.server = listener.Accept()).IsValid(); }));
  EXPECT_TRUE(IsNonBlocking(connection.server));
  second.Close();
}

TEST(Socket, SendToAResetConnectionFailsWithoutSigpipe) {
  // With the default action a SIGPIPE would end the test program.
  const auto previous = std::signal(SIGPIPE, SIG_DFL);
  Connection connection;
  // Closing with a zero linger time resets the connection.
  const linger reset{1, 0};
  ASSERT_EQ(0, setsockopt(FdOf(connection.server), SOL_SOCKET, SO_LINGER, &reset, sizeof reset));
  connection.server.Close();
  char data[1024] = {};
  int result = 0;
  for (int i = 0; i < 1000 && result >= 0; ++i) result = connection.client.Send(data, sizeof data);
  EXPECT_EQ(-1, result);
  EXPECT_EQ(Socket::kConnectionClosed, Socket::GetLastError());
  std::signal(SIGPIPE, previous);
}

TEST(Socket, ConnectFailuresAndHostNames) {
  const unsigned short closedPort = Listener().port;  // closed again at once
  Socket client;
  EXPECT_EQ(-1, client.Connect("127.0.0.1", closedPort, true, Socket::kStream));
  EXPECT_EQ(Socket::kConnectionRefused, Socket::GetLastError());
  EXPECT_STREQ("The attempt to connect was forcefully rejected.", Socket::StrGetLastError());
  EXPECT_FALSE(client.IsValid());
  // An unknown host keeps the host lookup's error; ".invalid" is reserved,
  // so no resolver may answer it.
  EXPECT_EQ(-1, client.Connect("qmk-no-such-host.invalid", 80, true, Socket::kStream));
  EXPECT_TRUE(IsUnresolvedHostError(Socket::GetLastError())) << Socket::GetLastError();
  EXPECT_FALSE(Socket::HostnameIsValid("qmk-no-such-host.invalid"));
  EXPECT_TRUE(IsUnresolvedHostError(Socket::GetLastError())) << Socket::GetLastError();
  EXPECT_FALSE(Socket::HostnameIsValid(nullptr));
  EXPECT_EQ(Socket::kHostNotFound, Socket::GetLastError());
  EXPECT_TRUE(Socket::HostnameIsValid("127.0.0.1") && Socket::HostnameIsValid("localhost"));

  char expected[256] = {};
  ASSERT_EQ(0, gethostname(expected, sizeof expected - 1));
  EXPECT_STREQ(expected, Socket::GetHostname());
}

TEST(Socket, ErrorTextsAreFixed) {
  // 13 and values out of range are unexpected.
  const std::pair<int, const char*> texts[] = {
      {Socket::kNoError, "No socket error."},
      {Socket::kNetworkDown, "The network subsystem (or service provider) hs failed."},
      {Socket::kTimedOut, "Connection establishment timed out withoutestablishing a connection."},
      {Socket::kNotReadWriteFile, "The file descriptor given is not that of a read/writeable file"},
      {Socket::kHostNotFound, "A Host name specified in a connect could not be found."},
      {Socket::kWouldBlock, "An unexpected error condition occurred."},
      {Socket::kUnexpectedError, "An unexpected error condition occurred."},
      {-1, "An unexpected error condition occurred."},
      {1000, "An unexpected error condition occurred."}};
  for (const auto& [error, text] : texts) {
    EXPECT_STREQ(text, Socket::StrError(static_cast<Socket::Error>(error))) << error;
  }
  EXPECT_NE(nullptr, std::strstr(Socket::StrError(Socket::kHostNoData),
                                 "with this name.  Another type of request"));
  EXPECT_NE(nullptr,
            std::strstr(Socket::StrError(Socket::kHostTryAgain), "in host lookup.This is usually"));
}

TEST(Socket, DatagramsAreExchangedAndAnUnexpectedErrnoIsTraced) {
  Socket server, client;
  unsigned short port = 0;
  ASSERT_EQ(0, server.BindListen(&port, Socket::kReuse, Socket::kDatagram, 0));
  EXPECT_EQ(0, server.AllowBroadcast());
  {
    qmk_test::ScopedTraceRecorder recorder;
    EXPECT_EQ(-1, Send(server, "x"));  // unconnected: EDESTADDRREQ
    EXPECT_EQ(Socket::kUnexpectedError, Socket::GetLastError());
    const auto records = recorder.log().Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(dp::Info, records[0].type);
    EXPECT_EQ("dp/Socket", records[0].key + "/" + records[0].subKey);
    std::string expected = "Got unexpected error = ";
    EXPECT_EQ((expected += std::to_string(EDESTADDRREQ)) += ".\n", records[0].text);
  }
  ASSERT_EQ(0, client.Connect("127.0.0.1", port, true, Socket::kDatagram));
  EXPECT_EQ(8, Send(client, "datagram"));
  EXPECT_EQ("datagram", Receive(server, 8));
  client.Close();
  server.Close();
}

// Threads that fail in different ways at the same time each read back their
// own error.
TEST(SocketRace, EachThreadSeesOnlyItsOwnLastError) {
  constexpr int kThreads = 8, kRounds = 2000;
  std::vector<int> mismatches(kThreads, 0);
  qmk_test::RunThreads(kThreads, [&](int t) {
    int fds[2] = {-1, -1};
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
    Socket mine(reinterpret_cast<void*>(std::intptr_t{fds[0]}));
    Socket peer(reinterpret_cast<void*>(std::intptr_t{fds[1]}));
    // A closed peer, nothing to read without blocking, no socket at all,
    // an unknown service.
    const Socket::Error expected[] = {Socket::kConnectionClosed, Socket::kWouldBlock,
                                      Socket::kNetworkDown, Socket::kUnknownService};
    if (t % 4 == 0) peer.Close();
    if (t % 4 == 1) mine.NonBlockingOn();
    if (t % 4 == 2) mine.Close();
    EXPECT_EQ(Socket::kNoError, Socket::GetLastError());  // a new thread's value
    char buffer[8];
    for (int round = 0; round < kRounds; ++round) {
      if (t % 4 == 3) {
        Socket().Connect("127.0.0.1", "qmk-no-such-service", true, Socket::kStream);
      } else {
        mine.Recv(buffer, sizeof buffer);
      }
      if (Socket::GetLastError() != expected[t % 4]) ++mismatches[t];
      std::this_thread::yield();
    }
    mine.Close();
    peer.Close();
  });
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(0, mismatches[t]) << "thread " << t;
}

}  // namespace
