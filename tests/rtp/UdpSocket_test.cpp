#include "net/UdpSocket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

namespace tandem {
namespace {

constexpr uint32_t kLoopback = 0x7F000001;

// Waits for one datagram with a deadline; the socket itself never blocks.
UdpSocket::Received WaitFor(UdpSocket& s, std::vector<uint8_t>& buffer) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  UdpSocket::Received r;
  while ((r = s.ReceiveFrom(buffer)).result == -EAGAIN &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return r;
}

TEST(UdpSocket, SendsAndReceivesOnLoopbackWithoutBlocking) {
  UdpSocket a, b;
  ASSERT_EQ(a.Bind(0, kLoopback), 0);
  ASSERT_EQ(b.Bind(0, kLoopback), 0);
  ASSERT_NE(b.LocalPort(), 0);
  std::vector<uint8_t> buffer(16);
  EXPECT_EQ(b.ReceiveFrom(buffer).result, -EAGAIN);  // nothing waits: no block

  const std::vector<uint8_t> hello = {'h', 'e', 'l', 'l', 'o'};
  ASSERT_EQ(a.SendTo(hello, kLoopback, b.LocalPort()), 0);
  const auto r = WaitFor(b, buffer);
  ASSERT_EQ(r.result, 5);
  EXPECT_FALSE(r.truncated);
  EXPECT_EQ(r.fromIp, kLoopback);
  EXPECT_EQ(r.fromPort, a.LocalPort());
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 5), hello);

  // A datagram longer than the buffer reports its real length and that it was cut.
  ASSERT_EQ(a.SendTo(std::vector<uint8_t>(40, 7), kLoopback, b.LocalPort()), 0);
  const auto cut = WaitFor(b, buffer);
  EXPECT_EQ(cut.result, 40);
  EXPECT_TRUE(cut.truncated);
}

TEST(UdpSocket, BusyPortClosedAndMovedSockets) {
  UdpSocket a;
  ASSERT_EQ(a.Bind(0), 0);
  UdpSocket b;
  EXPECT_EQ(b.Bind(a.LocalPort()), -EADDRINUSE);
  EXPECT_FALSE(b.IsOpen());
  EXPECT_EQ(a.Bind(0), -EISCONN);

  UdpSocket moved = std::move(a);
  EXPECT_FALSE(a.IsOpen());
  EXPECT_TRUE(moved.IsOpen());
  const uint16_t port = moved.LocalPort();
  moved.Close();
  EXPECT_EQ(moved.LocalPort(), 0);
  std::vector<uint8_t> buffer(4);
  EXPECT_EQ(moved.ReceiveFrom(buffer).result, -EBADF);
  EXPECT_EQ(moved.SendTo(buffer, kLoopback, 9), -EBADF);
  EXPECT_EQ(b.Bind(port), 0);  // closing freed the port
}

}  // namespace
}  // namespace tandem
