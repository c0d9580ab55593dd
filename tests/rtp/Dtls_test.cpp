// DTLS-SRTP handshakes between two sessions joined in memory: no sockets, no waiting.
#include "net/Dtls.h"

#include <gtest/gtest.h>

#include <functional>

#include "net/Srtp.h"

namespace tandem::net {
namespace {

using Datagrams = std::vector<std::vector<uint8_t>>;

// Carries datagrams both ways until neither side has more; `record` sees every one of a's.
void Exchange(DtlsSession& a, DtlsSession& b,
              const std::function<void(const std::vector<uint8_t>&)>& record = {}) {
  for (int round = 0; round < 20; ++round) {
    Datagrams fromA = a.TakeOutgoing(), fromB = b.TakeOutgoing();
    if (fromA.empty() && fromB.empty()) return;
    for (auto& d : fromA) {
      if (record) record(d);
      b.OnDatagram(d, 0);
    }
    for (auto& d : fromB) a.OnDatagram(d, 0);
  }
}

DtlsConfig Psk(const std::string& passphrase) {
  const rtp::SrtpKey k = rtp::DeriveSrtpKey(passphrase, 1000);
  return {std::vector<uint8_t>(k.begin(), k.end()), nullptr, {}};
}

SrtpKeying Keys(DtlsSession& s) {
  auto k = s.TakeKeys();
  EXPECT_TRUE(k.has_value());
  return k.value_or(SrtpKeying{});
}

// Both peers start at once, as two identical programs do: the crossed ClientHellos settle who
// is the client, keys mirror each other, and each session's keys are its own.
TEST(Dtls, SamePassphraseGivesFreshMirroredKeysEachSession) {
  std::vector<uint8_t> lastKey;
  for (int session = 0; session < 2; ++session) {
    DtlsSession a(Psk("open sesame")), b(Psk("open sesame"));
    a.Start(0);
    b.Start(0);
    Exchange(a, b);
    ASSERT_TRUE(a.Connected() && b.Connected());
    EXPECT_EQ(a.LastFailure(), DtlsFailure::None);
    EXPECT_EQ(a.Stats().datagramsRefused + b.Stats().datagramsRefused, 0u);  // crossed hellos too
    EXPECT_EQ(a.Cipher().rfind("ECDHE-PSK-", 0), 0u) << a.Cipher();
    const SrtpKeying ka = Keys(a), kb = Keys(b);
    EXPECT_EQ(ka.local, kb.remote);
    EXPECT_EQ(ka.remote, kb.local);
    EXPECT_NE(ka.local, ka.remote);
    EXPECT_EQ(ka.local.size(), ka.profile == SrtpKeying::Profile::AeadAes128Gcm ? 28u : 30u);
    EXPECT_NE(ka.local, lastKey);
    lastKey = ka.local;
    EXPECT_FALSE(a.TakeKeys().has_value());  // each generation once
  }
}

TEST(Dtls, DifferentPassphraseOrIdentityKindFailsOnBothSides) {
  auto identity = DtlsIdentity::Generate();
  for (const auto& other : {Psk("open sesamE"), DtlsConfig{{}, identity, {}}}) {
    DtlsSession a(Psk("open sesame")), b(other);
    a.Start(0);
    b.Start(0);
    Exchange(a, b);
    // The server sees it at once; the client from the silence after its Finished.
    for (DtlsSession* s : {&a, &b}) s->OnTimer(DtlsSession::kFinishedAnswerUs);
    EXPECT_FALSE(a.Connected());
    EXPECT_FALSE(b.Connected());
    EXPECT_EQ(a.LastFailure(), DtlsFailure::Authentication);
    EXPECT_EQ(b.LastFailure(), DtlsFailure::Authentication);
    EXPECT_EQ(a.Stats().handshakesFailed + b.Stats().handshakesFailed, 2u);
  }
}

// The certificate identity: its fingerprint is checked when one is expected, and a passphrase
// beside it is folded into the keys.
TEST(Dtls, CertificateFingerprintIsCheckedAndPassphraseFolded) {
  auto one = DtlsIdentity::Generate(), two = DtlsIdentity::Generate();
  EXPECT_EQ(one->Fingerprint().size(), 32u * 3 - 1);
  EXPECT_NE(one->Fingerprint(), two->Fingerprint());
  {
    DtlsSession a({{}, one, two->Fingerprint()}), b({{}, two, one->Fingerprint()});
    a.Start(0);
    b.Start(0);
    Exchange(a, b);
    ASSERT_TRUE(a.Connected() && b.Connected());
    EXPECT_EQ(a.PeerFingerprint(), two->Fingerprint());
    EXPECT_EQ(Keys(a).local, Keys(b).remote);
  }
  {
    auto stranger = DtlsIdentity::Generate();
    DtlsSession a({{}, one, two->Fingerprint()}), b({{}, stranger, {}});
    a.Start(0);
    b.Start(0);
    Exchange(a, b);
    EXPECT_FALSE(a.Connected());
    EXPECT_EQ(a.LastFailure(), DtlsFailure::Fingerprint);
    EXPECT_EQ(a.Stats().fingerprintRefused, 1u);
  }
  {
    DtlsConfig withA = Psk("open sesame"), withB = Psk("open sesamE");
    withA.identity = one;
    withB.identity = two;
    DtlsSession a(withA), b(withB);
    a.Start(0);
    b.Start(0);
    Exchange(a, b);
    ASSERT_TRUE(a.Connected() && b.Connected());
    EXPECT_NE(Keys(a).local, Keys(b).remote);  // nothing either sends opens on the other side
  }
}

// A partner that starts again gets new keys at once; its replayed old handshake costs nothing:
// the session keeps its keys, and each of its datagrams is refused.
TEST(Dtls, PartnerRestartRekeysWhileAReplayedHelloDoesNot) {
  DtlsSession a(Psk("open sesame"));
  auto b = std::make_unique<DtlsSession>(Psk("open sesame"));
  Datagrams recorded;
  b->Start(0);
  a.Start(0);
  Exchange(*b, a, [&](const std::vector<uint8_t>& d) { recorded.push_back(d); });
  ASSERT_TRUE(a.Connected());
  const SrtpKeying first = Keys(a);

  b = std::make_unique<DtlsSession>(Psk("open sesame"));
  b->Start(0);
  Exchange(*b, a);
  ASSERT_TRUE(b->Connected());
  EXPECT_EQ(a.Generation(), 2u);
  const SrtpKeying second = Keys(a);
  EXPECT_NE(second.local, first.local);
  EXPECT_EQ(second.remote, Keys(*b).local);

  // The first session's datagrams, from the partner's address (answers go nowhere).
  const uint64_t refused = a.Stats().datagramsRefused;
  for (const auto& d : recorded) a.OnDatagram(d, 0);
  a.TakeOutgoing();
  EXPECT_EQ(a.Stats().datagramsRefused - refused, recorded.size());
  EXPECT_TRUE(a.Connected());
  EXPECT_EQ(a.Generation(), 2u);
  EXPECT_FALSE(a.TakeKeys().has_value());
}

TEST(Dtls, DemultiplexesOnTheFirstByte) {
  using K = DatagramKind;
  const std::vector<std::pair<uint8_t, K>> cases = {{0, K::Other}, {19, K::Other}, {20, K::Dtls},
                                                    {63, K::Dtls}, {64, K::Other}, {127, K::Other},
                                                    {128, K::Rtp}, {191, K::Rtp},  {192, K::Other}};
  for (auto [first, kind] : cases) {
    const uint8_t d[] = {first, 0};
    EXPECT_EQ(ClassifyDatagram(d), kind) << int{first};
  }
  EXPECT_EQ(ClassifyDatagram({}), K::Other);
}

}  // namespace
}  // namespace tandem::net
