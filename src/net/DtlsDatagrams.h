// DTLS as datagrams, read without OpenSSL: what a datagram on a port shared with SRTP is, and
// what a handshake datagram holds; and the BIO that keeps OpenSSL's datagrams whole.
#pragma once

#include <openssl/bio.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tandem::net {

// RFC 7983 4: what a datagram on a port shared by DTLS and SRTP is, told by its first byte.
enum class DatagramKind { Dtls, Rtp, Other };
DatagramKind ClassifyDatagram(std::span<const uint8_t> datagram);

// The client random of a ClientHello that starts a handshake (epoch 0, first fragment), or
// nothing for any other datagram.
std::optional<std::array<uint8_t, 32>> ClientHelloRandom(std::span<const uint8_t> datagram);
// Whether a datagram holds a record under new keys (epoch 1 or later, RFC 6347 4.1).
bool HasEncryptedRecord(std::span<const uint8_t> datagram);

// The write side of the memory BIO pair: OpenSSL writes each datagram in one call, which becomes
// one element of the list set as the BIO's data, so datagram boundaries survive (a plain memory
// BIO would run them together).
using Datagrams = std::vector<std::vector<uint8_t>>;
const BIO_METHOD* DatagramMethod();

}  // namespace tandem::net
