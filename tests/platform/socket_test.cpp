#include "qmkutils/platform/socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/eventually.h"
#include "support/recording_consumer.h"

namespace {

using dp::Socket;

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

bool IsCloseOnExec(const Socket& socket) {
  const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(socket.GetFd()));
  return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

bool IsNonBlocking(const Socket& socket) {
  const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(socket.GetFd()));
  return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

// The errors a name under ".invalid" may give: 15 where a resolver answers
// that the name does not exist, 16 (EAI_AGAIN) where no resolver can be
// reached.
bool IsUnresolvedHostError(int error) {
  return error == Socket::kHostNotFound || error == Socket::kHostTryAgain;
}

// The two ends of a local stream socket pair, as Sockets.
std::pair<Socket, Socket> SocketPair() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
  return {Socket(reinterpret_cast<void*>(static_cast<std::intptr_t>(fds[0]))),
          Socket(reinterpret_cast<void*>(static_cast<std::intptr_t>(fds[1])))};
}

TEST(Socket, HandleRoundTripsThroughVoidPointerAndInvalidIsAllBitsSet) {
  Socket invalid;
  EXPECT_FALSE(invalid.IsValid());
  EXPECT_EQ(~std::uintptr_t{0}, reinterpret_cast<std::uintptr_t>(invalid.GetFd()));
  EXPECT_FALSE(Socket(invalid.GetFd()).IsValid());
  EXPECT_FALSE(invalid.CanBlockForAccept());

  Socket seven(reinterpret_cast<void*>(std::intptr_t{7}));
  EXPECT_TRUE(seven.IsValid());
  EXPECT_EQ(reinterpret_cast<void*>(std::intptr_t{7}), seven.GetFd());
  Socket copy = seven;  // a copy shares the descriptor
  EXPECT_EQ(seven.GetFd(), copy.GetFd());
  seven.Invalidate();  // forgets, never closes
  EXPECT_FALSE(seven.IsValid());
  EXPECT_TRUE(copy.IsValid());
}

TEST(Socket, CloseOfAnInvalidSocketReturnsZeroAndDoesNothing) {
  Socket socket;
  EXPECT_EQ(0, socket.Close());
  EXPECT_FALSE(socket.IsValid());
}

TEST(Socket, BindListenWithPortZeroStoresTheChosenPort) {
  Socket socket;
  unsigned short port = 0;
  ASSERT_EQ(0, socket.BindListen(&port, Socket::kReuse, Socket::kStream, 5));
  EXPECT_NE(0, port);
  EXPECT_EQ("0.0.0.0:" + std::to_string(port), socket.GetSocketAddress());
  EXPECT_EQ("0.0.0.0", socket.GetSocketAddress(Socket::kAddressOnly));
  EXPECT_TRUE(IsCloseOnExec(socket));
  EXPECT_EQ(0, socket.Close());
  EXPECT_FALSE(socket.IsValid());
}

TEST(Socket, BindListenOnAPortInUseFailsWithAddressInUse) {
  Listener first;
  Socket second;
  unsigned short port = first.port;
  EXPECT_EQ(-1, second.BindListen(&port, Socket::kNoReuse, Socket::kStream, 5));
  EXPECT_EQ(Socket::kAddressInUse, Socket::GetLastError());
  EXPECT_STREQ("The address is already in use.", Socket::StrGetLastError());
  EXPECT_FALSE(second.IsValid());
}

TEST(Socket, ConnectAcceptSendAndReceiveBetweenThreads) {
  Listener listener;
  std::string received;
  std::thread server([&] {
    Socket accepted = listener.socket.Accept();
    ASSERT_TRUE(accepted.IsValid());
    EXPECT_TRUE(IsCloseOnExec(accepted));
    char buffer[64];
    const int n = accepted.Recv(buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    received.assign(buffer, static_cast<std::size_t>(n));
    char reply[] = "pong";
    EXPECT_EQ(4, accepted.Send(reply, 4));
    accepted.Close();
  });
  Socket client;
  ASSERT_EQ(0, client.Connect("127.0.0.1", listener.port, true, Socket::kStream));
  EXPECT_TRUE(IsCloseOnExec(client));
  EXPECT_EQ("127.0.0.1:" + std::to_string(listener.port), client.GetPeerAddress());
  EXPECT_EQ("127.0.0.1", client.GetPeerAddress(Socket::kAddressOnly));
  EXPECT_EQ(0u, client.GetSocketAddress().find("127.0.0.1:"));
  char message[] = "ping";
  EXPECT_EQ(4, client.Send(message, 4));
  char buffer[64];
  int total = 0;
  while (total < 4) {
    const int n = client.Recv(buffer + total, static_cast<int>(sizeof buffer) - total);
    ASSERT_GT(n, 0);
    total += n;
  }
  EXPECT_EQ("pong", std::string(buffer, 4));
  server.join();
  EXPECT_EQ("ping", received);
  EXPECT_EQ(0, client.Close());
}

TEST(Socket, AcceptedSocketsTakeTheListenersBlockingMode) {
  Connection blocking;
  EXPECT_FALSE(IsNonBlocking(blocking.server));

  Listener listener;
  ASSERT_EQ(0, listener.socket.NonBlockingOn());
  // Nothing is pending yet.
  EXPECT_FALSE(listener.socket.Accept().IsValid());
  EXPECT_EQ(Socket::kWouldBlock, Socket::GetLastError());
  Socket client;
  ASSERT_EQ(0, client.Connect("127.0.0.1", listener.port, true, Socket::kStream));
  Socket accepted;
  ASSERT_TRUE(qmk_test::Eventually([&] {
    accepted = listener.socket.Accept();
    return accepted.IsValid();
  }));
  EXPECT_TRUE(IsNonBlocking(accepted));
  accepted.Close();
  client.Close();
}

TEST(Socket, RecvAfterThePeerClosedGivesMinusOneAndErrorOne) {
  Connection connection;
  connection.server.Close();
  char buffer[16];
  EXPECT_EQ(-1, connection.client.Recv(buffer, sizeof buffer));
  EXPECT_EQ(Socket::kConnectionClosed, Socket::GetLastError());
  EXPECT_STREQ("The remote connection has closed the socket.", Socket::StrGetLastError());
}

TEST(Socket, NonBlockingRecvWithoutDataGivesErrorThirteen) {
  Connection connection;
  ASSERT_EQ(0, connection.client.NonBlockingOn());
  char buffer[16];
  EXPECT_EQ(-1, connection.client.Recv(buffer, sizeof buffer));
  EXPECT_EQ(Socket::kWouldBlock, Socket::GetLastError());
  EXPECT_STREQ("An unexpected error condition occurred.", Socket::StrGetLastError());
  ASSERT_EQ(0, connection.client.NonBlockingOff());
  EXPECT_FALSE(IsNonBlocking(connection.client));
}

TEST(Socket, SendToAResetConnectionFailsWithoutSigpipe) {
  // With the default action a SIGPIPE would end the test program.
  struct sigaction previous {};
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  ASSERT_EQ(0, sigaction(SIGPIPE, &fallback, &previous));
  {
    Connection connection;
    // Closing with a zero linger time resets the connection.
    const linger reset{1, 0};
    const int serverFd =
        static_cast<int>(reinterpret_cast<std::intptr_t>(connection.server.GetFd()));
    ASSERT_EQ(0, setsockopt(serverFd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset));
    connection.server.Close();
    char data[1024] = {};
    int result = 0;
    for (int i = 0; i < 1000 && result >= 0; ++i)
      result = connection.client.Send(data, sizeof data);
    EXPECT_EQ(-1, result);
    EXPECT_EQ(Socket::kConnectionClosed, Socket::GetLastError());
  }
  sigaction(SIGPIPE, &previous, nullptr);
}

TEST(Socket, ConnectToAClosedPortIsRefusedAndLeavesTheSocketInvalid) {
  unsigned short port = 0;
  {
    Listener listener;
    port = listener.port;
  }
  Socket client;
  EXPECT_EQ(-1, client.Connect("127.0.0.1", port, true, Socket::kStream));
  EXPECT_EQ(Socket::kConnectionRefused, Socket::GetLastError());
  EXPECT_STREQ("The attempt to connect was forcefully rejected.", Socket::StrGetLastError());
  EXPECT_FALSE(client.IsValid());
}

TEST(Socket, NonBlockingConnectEitherCompletesAtOnceOrCountsAsInProgress) {
  Listener listener;
  Socket client;
  const int result = client.Connect("127.0.0.1", listener.port, false, Socket::kStream);
  if (result == 0) {
    EXPECT_TRUE(IsNonBlocking(client));
    client.Close();
  } else {
    EXPECT_EQ(Socket::kInProgress, Socket::GetLastError());
    EXPECT_FALSE(client.IsValid());
  }
}

TEST(Socket, ConnectToAnUnknownHostKeepsTheHostLookupError) {
  Socket client;
  EXPECT_EQ(-1, client.Connect("qmk-no-such-host.invalid", 80, true, Socket::kStream));
  EXPECT_TRUE(IsUnresolvedHostError(Socket::GetLastError())) << Socket::GetLastError();
  EXPECT_FALSE(client.IsValid());
}

TEST(Socket, ErrorTextsAreFixedAndOutOfRangeValuesAreUnexpected) {
  EXPECT_STREQ("No socket error.", Socket::StrError(Socket::kNoError));
  EXPECT_STREQ("The network subsystem (or service provider) hs failed.",
               Socket::StrError(Socket::kNetworkDown));
  EXPECT_STREQ("Connection establishment timed out withoutestablishing a connection.",
               Socket::StrError(Socket::kTimedOut));
  EXPECT_STREQ("The file descriptor given is not that of a read/writeable file",
               Socket::StrError(Socket::kNotReadWriteFile));
  EXPECT_STREQ("A Host name specified in a connect could not be found.",
               Socket::StrError(Socket::kHostNotFound));
  EXPECT_NE(nullptr, std::strstr(Socket::StrError(Socket::kHostNoData),
                                 "with this name.  Another type of request"));
  EXPECT_NE(nullptr,
            std::strstr(Socket::StrError(Socket::kHostTryAgain), "in host lookup.This is usually"));
  const char* unexpected = "An unexpected error condition occurred.";
  EXPECT_STREQ(unexpected, Socket::StrError(Socket::kWouldBlock));
  EXPECT_STREQ(unexpected, Socket::StrError(Socket::kUnexpectedError));
  EXPECT_STREQ(unexpected, Socket::StrError(static_cast<Socket::Error>(-1)));
  EXPECT_STREQ(unexpected, Socket::StrError(static_cast<Socket::Error>(1000)));
}

TEST(Socket, AnUnexpectedErrnoIsTracedAndGivesNineteen) {
  qmk_test::ScopedTraceRecorder recorder;
  // Sending on an unconnected datagram socket: EDESTADDRREQ.
  Socket udp;
  unsigned short port = 0;
  ASSERT_EQ(0, udp.BindListen(&port, Socket::kNoReuse, Socket::kDatagram, 0));
  char data[] = "x";
  EXPECT_EQ(-1, udp.Send(data, 1));
  EXPECT_EQ(Socket::kUnexpectedError, Socket::GetLastError());
  udp.Close();
  const auto records = recorder.log().Records();
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(dp::Info, records[0].type);
  EXPECT_EQ("dp", records[0].key);
  EXPECT_EQ("Socket", records[0].subKey);
  EXPECT_EQ("Got unexpected error = " + std::to_string(EDESTADDRREQ) + ".\n", records[0].text);
}

TEST(Socket, OperationsOnAnInvalidSocketFailWithNetworkDown) {
  Socket invalid;
  char buffer[4];
  EXPECT_EQ(-1, invalid.Recv(buffer, sizeof buffer));
  EXPECT_EQ(Socket::kNetworkDown, Socket::GetLastError());
  EXPECT_EQ(-1, invalid.Send(buffer, sizeof buffer));
  EXPECT_EQ(Socket::kNetworkDown, Socket::GetLastError());
  EXPECT_EQ(-1, invalid.NonBlockingOn());
  EXPECT_FALSE(invalid.Accept().IsValid());
  EXPECT_EQ(Socket::kNetworkDown, Socket::GetLastError());
  EXPECT_EQ("", invalid.GetSocketAddress());
  EXPECT_EQ("", invalid.GetPeerAddress());
}

TEST(Socket, HostnameIsCachedAndValid) {
  const char* name = Socket::GetHostname();
  ASSERT_NE(nullptr, name);
  char expected[256] = {};
  ASSERT_EQ(0, gethostname(expected, sizeof expected - 1));
  EXPECT_STREQ(expected, name);
  EXPECT_EQ(name, Socket::GetHostname());
  EXPECT_LE(std::strlen(name), 255u);
}

TEST(Socket, HostnameIsValidResolvesIpVersion4Names) {
  EXPECT_TRUE(Socket::HostnameIsValid("127.0.0.1"));
  EXPECT_TRUE(Socket::HostnameIsValid("localhost"));
  // ".invalid" is reserved: no resolver may answer it.
  EXPECT_FALSE(Socket::HostnameIsValid("qmk-no-such-host.invalid"));
  EXPECT_TRUE(IsUnresolvedHostError(Socket::GetLastError())) << Socket::GetLastError();
  EXPECT_STREQ(Socket::StrError(Socket::GetLastError()), Socket::StrGetLastError());
  EXPECT_FALSE(Socket::HostnameIsValid(nullptr));
  EXPECT_EQ(Socket::kHostNotFound, Socket::GetLastError());
}

TEST(Socket, UnknownServicesGiveErrorFourteen) {
  Socket socket;
  EXPECT_EQ(-1, socket.BindListen("qmk-no-such-service", Socket::kReuse, Socket::kStream, 5));
  EXPECT_EQ(Socket::kUnknownService, Socket::GetLastError());
  EXPECT_STREQ("A named service was unknown.", Socket::StrGetLastError());
  EXPECT_EQ(-1, socket.Connect("127.0.0.1", "qmk-no-such-service", true, Socket::kStream));
  EXPECT_EQ(Socket::kUnknownService, Socket::GetLastError());
  EXPECT_EQ(-1, socket.BindListen(static_cast<const char*>(nullptr), Socket::kReuse,
                                  Socket::kDatagram, 0));
  EXPECT_EQ(Socket::kUnknownService, Socket::GetLastError());
  EXPECT_FALSE(socket.IsValid());
}

TEST(Socket, KnownServicesResolveToTheirPort) {
  // "discard" (port 9) is in every services database; nothing listens there.
  if (getservbyname("discard", "tcp") == nullptr) GTEST_SKIP() << "no services database";
  Socket socket;
  const int result = socket.Connect("127.0.0.1", "discard", true, Socket::kStream);
  if (result == 0) {
    EXPECT_EQ("127.0.0.1:9", socket.GetPeerAddress());
    socket.Close();
  } else {
    EXPECT_EQ(Socket::kConnectionRefused, Socket::GetLastError());
  }
}

TEST(Socket, DatagramSocketsBindAndExchangeADatagram) {
  Socket server;
  unsigned short port = 0;
  ASSERT_EQ(0, server.BindListen(&port, Socket::kReuse, Socket::kDatagram, 0));
  EXPECT_NE(0, port);
  EXPECT_EQ(0, server.AllowBroadcast());
  Socket client;
  ASSERT_EQ(0, client.Connect("127.0.0.1", port, true, Socket::kDatagram));
  char message[] = "datagram";
  EXPECT_EQ(8, client.Send(message, 8));
  char buffer[32];
  EXPECT_EQ(8, server.Recv(buffer, sizeof buffer));
  EXPECT_EQ("datagram", std::string(buffer, 8));
  client.Close();
  server.Close();
}

TEST(Socket, OtherSocketTypesCreateNoSocket) {
  Socket socket;
  unsigned short port = 0;
  EXPECT_EQ(-1, socket.BindListen(&port, Socket::kReuse, static_cast<Socket::SocketType>(5), 1));
  EXPECT_FALSE(socket.IsValid());
}

TEST(Socket, ConnectsAcrossProcesses) {
  Listener listener;
  const unsigned short port = listener.port;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Socket client;
    if (client.Connect("127.0.0.1", port, true, Socket::kStream) != 0) _exit(2);
    char message[] = "from child";
    if (client.Send(message, 10) != 10) _exit(3);
    char reply[8];
    if (client.Recv(reply, sizeof reply) != 2 || std::memcmp(reply, "ok", 2) != 0) _exit(4);
    client.Close();
    _exit(0);
  }
  Socket accepted = listener.socket.Accept();
  ASSERT_TRUE(accepted.IsValid());
  char buffer[32];
  int total = 0;
  while (total < 10) {
    const int n = accepted.Recv(buffer + total, static_cast<int>(sizeof buffer) - total);
    ASSERT_GT(n, 0);
    total += n;
  }
  EXPECT_EQ("from child", std::string(buffer, 10));
  char reply[] = "ok";
  EXPECT_EQ(2, accepted.Send(reply, 2));
  EXPECT_EQ(0, qmk_test::Reap(child));
  accepted.Close();
}

// Threads that fail in different ways at the same time each read back their
// own error.
TEST(SocketRace, EachThreadSeesOnlyItsOwnLastError) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 2000;
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  std::vector<int> mismatches(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto [mine, peer] = SocketPair();
      char buffer[8];
      Socket::Error expected = Socket::kNoError;
      switch (t % 4) {
        case 0:  // a closed peer
          peer.Close();
          expected = Socket::kConnectionClosed;
          break;
        case 1:  // nothing to read without blocking
          mine.NonBlockingOn();
          expected = Socket::kWouldBlock;
          break;
        case 2:  // no socket at all
          mine.Close();
          expected = Socket::kNetworkDown;
          break;
        default:  // an unknown service
          expected = Socket::kUnknownService;
          break;
      }
      EXPECT_EQ(Socket::kNoError, Socket::GetLastError());  // a new thread's value
      start.arrive_and_wait();
      for (int round = 0; round < kRounds; ++round) {
        if (t % 4 == 3) {
          Socket unused;
          unused.Connect("127.0.0.1", "qmk-no-such-service", true, Socket::kStream);
        } else {
          mine.Recv(buffer, sizeof buffer);
        }
        if (Socket::GetLastError() != expected) ++mismatches[t];
        std::this_thread::yield();
      }
      mine.Close();
      peer.Close();
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(0, mismatches[t]) << "thread " << t;
}

}  // namespace
