#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "TestTiming.h"
#include "net/IceAgent.h"
#include "net/Invitation.h"
#include "rtp/RtpSession.h"

namespace tandem {
namespace {

IceSettings OnLoopback(bool controlling) {
  IceSettings s;
  s.controlling = controlling;
  s.localAddresses = {IpAddress::V4(0x7F000001)};
  return s;
}

// Two agents on loopback exchange their descriptions as pasted codes, connect, and carry a whole
// RTP session each way, data and reports on the one shared path.
TEST(Ice, CodesConnectTwoAgentsAndCarryASession) {
  auto a = std::make_shared<IceAgent>(OnLoopback(true));
  auto b = std::make_shared<IceAgent>(OnLoopback(false));
  Invitation invitation{Invitation::Kind::kInvitation, NewInvitationId(),
                        a->Local(std::chrono::seconds(5)), std::vector<uint8_t>(32, 0xAB)};
  ASSERT_FALSE(invitation.ice.candidates.empty());
  const std::string code = EncodeInvitation(invitation);
  EXPECT_LE(code.size(), 400u);
  std::string error;
  const auto received = DecodeInvitation("Invitation: " + code + "\n", error);
  ASSERT_TRUE(received) << error;
  EXPECT_EQ(received->ice, invitation.ice);
  EXPECT_EQ(received->fingerprint, invitation.fingerprint);
  EXPECT_EQ(b->Status().state, IceState::kWaiting);
  ASSERT_TRUE(b->SetRemote(received->ice));
  ASSERT_TRUE(a->SetRemote(b->Local(std::chrono::seconds(5))));
  ASSERT_TRUE(test::WaitFor(
      [&] {
        return a->Status().state == IceState::kConnected &&
               b->Status().state == IceState::kConnected;
      },
      std::chrono::seconds(10)));
  EXPECT_FALSE(a->Status().relayed);

  rtp::RtpSession sa, sb;
  ASSERT_EQ(sa.Create(a), rtp::kOk);
  ASSERT_EQ(sb.Create(b), rtp::kOk);
  EXPECT_EQ(sa.AddDestination(0x7F000001, 3000), rtp::kErrBadDestination);
  ASSERT_EQ(sa.SetRtcpMinimumInterval(0.05), rtp::kOk);
  ASSERT_EQ(sb.SetRtcpMinimumInterval(0.05), rtp::kOk);
  const std::vector<uint8_t> note = {0x90, 60, 100, 0};
  ASSERT_EQ(sa.SendPacket(note.data(), note.size(), 77, false, 0), rtp::kOk);
  ASSERT_EQ(sb.SendPacket(note.data(), note.size(), 77, false, 0), rtp::kOk);
  auto heard = [](rtp::RtpSession& s) {
    s.Poll();
    for (bool more = s.GotoFirstSourceWithData(); more; more = s.GotoNextSourceWithData()) {
      if (auto p = s.GetNextPacket()) return p->payload == std::vector<uint8_t>{0x90, 60, 100, 0};
    }
    return false;
  };
  bool aHeard = false, bHeard = false;
  ASSERT_TRUE(test::WaitFor(
      [&] {
        aHeard = heard(sa) || aHeard;
        bHeard = heard(sb) || bHeard;
        return aHeard && bHeard && sa.Link().haveReport && sb.Link().haveReport;
      },
      std::chrono::seconds(10)));
  EXPECT_EQ(sa.Stats().malformedDropped + sb.Stats().malformedDropped, 0u);
  sa.Destroy();
  sb.Destroy();
}

// Codes come from people and chat programs: anything cut, altered or foreign is refused whole,
// with a reason.
TEST(Ice, DamagedOrForeignCodesAreRefused) {
  Invitation inv;
  inv.kind = Invitation::Kind::kAnswer;
  inv.id = NewInvitationId();
  inv.ice.ufrag = "abCD";
  inv.ice.pwd = "0123456789abcdefghij+/";
  IpAddress v6 = IpAddress::V6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5});
  inv.ice.candidates = {{IceCandidate::Type::kRelayed, IpAddress::V4(0xCB007164), 49152, 5},
                        {IceCandidate::Type::kServerReflexive, v6, 2000, 1u << 31}};
  const std::string code = EncodeInvitation(inv);
  std::string error;
  const auto back = DecodeInvitation(code, error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->ice, inv.ice);
  EXPECT_EQ(back->id, inv.id);
  for (size_t cut = 0; cut < code.size(); ++cut) {
    EXPECT_FALSE(DecodeInvitation(code.substr(0, cut), error)) << cut;
  }
  for (const std::string& bad : {"T2" + code.substr(2), "X" + code, code + "A", code + "!",
                                 std::string(3000, 'A'), std::string("T1") + "____"}) {
    error.clear();
    EXPECT_FALSE(DecodeInvitation(bad, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace tandem
