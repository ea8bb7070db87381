#pragma once
// Winsock for the gateway: an owner for a socket, one for the library's
// start-up, and the few blocking operations the gateway needs.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "base/win.h"

namespace talverin::gateway {

struct SocketTraits {
  static SOCKET None() noexcept { return INVALID_SOCKET; }
  static bool IsValid(SOCKET s) noexcept { return s != INVALID_SOCKET; }
  static void Close(SOCKET s) noexcept { closesocket(s); }
};
using UniqueSocket = UniqueResource<SOCKET, SocketTraits>;

// WSAStartup for as long as it lives.
class WinsockSession {
 public:
  WinsockSession();
  ~WinsockSession();
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

// Everything, or false when the connection fails.
bool SendAll(SOCKET socket, std::string_view bytes);

enum class WaitResult { Readable, TimedOut, Failed };
WaitResult WaitReadable(SOCKET socket, int milliseconds);

// Ends a connection without losing what was sent: no more sending, then what
// the peer still sends is read and dropped (for at most `milliseconds`), so
// that closing does not reset the connection under the peer's last reads.
void CloseGracefully(UniqueSocket& socket, int milliseconds);

// "127.0.0.1:54321".
std::string AddressText(const sockaddr_in& address);

// A connected socket to host:port, or an invalid one with the error text.
UniqueSocket ConnectTo(const std::string& host, uint16_t port, std::string* error);

std::string SocketErrorText(int error);

}  // namespace talverin::gateway
