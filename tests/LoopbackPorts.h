// Loopback UDP sockets for tests: free port pairs found by binding port 0, never fixed numbers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace tandem::test {

// A UDP socket bound on 127.0.0.1:port (0: any free port), or -1.
inline int BoundSocket(uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline uint16_t PortOf(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// An even port P with P and P + 1 free: the pair a session binds. With the out-parameters the
// two sockets stay bound and are handed over; otherwise they are closed again. 0 when none found.
inline uint16_t FreePortPair(int* keepData = nullptr, int* keepControl = nullptr) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    int probe = BoundSocket(0);
    if (probe < 0) return 0;
    uint16_t p = PortOf(probe);
    close(probe);
    if (p % 2 != 0 || p >= 65534) continue;
    int data = BoundSocket(p);
    int control = BoundSocket(static_cast<uint16_t>(p + 1));
    if (data >= 0 && control >= 0) {
      if (keepData) {
        *keepData = data;
      } else {
        close(data);
      }
      if (keepControl) {
        *keepControl = control;
      } else {
        close(control);
      }
      return p;
    }
    if (data >= 0) close(data);
    if (control >= 0) close(control);
  }
  return 0;
}

}  // namespace tandem::test
