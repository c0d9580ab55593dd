#include "net/DtlsDatagrams.h"

#include <openssl/bio.h>

#include <algorithm>

#include "platform/Bytes.h"

namespace tandem::net {

namespace {

constexpr size_t kRecordHeader = 13;     // RFC 6347 4.1
constexpr size_t kHandshakeHeader = 12;  // RFC 6347 4.2.2
constexpr uint8_t kContentHandshake = 22;
constexpr uint8_t kClientHello = 1;

int DatagramWrite(BIO* bio, const char* data, int length) {
  auto* out = static_cast<Datagrams*>(BIO_get_data(bio));
  if (!out || length < 0) return -1;
  out->emplace_back(reinterpret_cast<const uint8_t*>(data),
                    reinterpret_cast<const uint8_t*>(data) + length);
  return length;
}

long DatagramCtrl(BIO*, int command, long, void*) {
  // Flushing has nothing to do; every datagram-specific query (MTU, peer, timeouts) is answered
  // "unknown", and the MTU is set on the connection instead.
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int DatagramCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

}  // namespace

DatagramKind ClassifyDatagram(std::span<const uint8_t> datagram) {
  if (datagram.empty()) return DatagramKind::Other;
  const uint8_t b = datagram[0];
  if (b >= 20 && b <= 63) return DatagramKind::Dtls;
  if (b >= 128 && b <= 191) return DatagramKind::Rtp;
  return DatagramKind::Other;
}

std::optional<std::array<uint8_t, 32>> ClientHelloRandom(std::span<const uint8_t> datagram) {
  ByteReader r(datagram);
  if (r.U8() != kContentHandshake) return std::nullopt;
  r.Skip(2);                                // version
  if (r.U16Be() != 0) return std::nullopt;  // epoch
  r.Skip(6 + 2);                            // sequence number, length
  if (r.U8() != kClientHello) return std::nullopt;
  r.Skip(3 + 2);  // length, message_seq
  const uint32_t fragmentOffset = uint32_t{r.U8()} << 16 | r.U16Be();
  r.Skip(3 + 2);  // fragment_length, client_version
  const auto random = r.Bytes(32);
  if (!r.Ok() || fragmentOffset != 0) return std::nullopt;
  std::array<uint8_t, 32> out{};
  std::copy(random.begin(), random.end(), out.begin());
  return out;
}
static_assert(kRecordHeader + kHandshakeHeader + 2 + 32 == 59);

bool HasEncryptedRecord(std::span<const uint8_t> datagram) {
  ByteReader r(datagram);
  while (r.Remaining() >= kRecordHeader) {
    r.Skip(3);  // type, version
    const uint16_t epoch = r.U16Be();
    r.Skip(6);
    const uint16_t length = r.U16Be();
    if (epoch != 0) return true;
    if (!r.Skip(length)) return false;
  }
  return false;
}

const BIO_METHOD* DatagramMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tandem datagrams");
    if (m) {
      BIO_meth_set_write(m, DatagramWrite);
      BIO_meth_set_ctrl(m, DatagramCtrl);
      BIO_meth_set_create(m, DatagramCreate);
    }
    return m;
  }();
  return method;
}

}  // namespace tandem::net
