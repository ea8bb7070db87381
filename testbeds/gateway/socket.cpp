#include "gateway/socket.h"

#include <climits>

namespace talverin::gateway {

WinsockSession::WinsockSession() {
  WSADATA data;
  ok_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

WinsockSession::~WinsockSession() {
  if (ok_) WSACleanup();
}

bool SendAll(SOCKET socket, std::string_view bytes) {
  while (!bytes.empty()) {
    int piece = static_cast<int>(bytes.size() > INT_MAX / 2 ? INT_MAX / 2 : bytes.size());
    int sent = send(socket, bytes.data(), piece, 0);
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

WaitResult WaitReadable(SOCKET socket, int milliseconds) {
  WSAPOLLFD poll{};
  poll.fd = socket;
  poll.events = POLLRDNORM;
  int ready = WSAPoll(&poll, 1, milliseconds);
  if (ready < 0) return WaitResult::Failed;
  if (ready == 0) return WaitResult::TimedOut;
  // A closed or failed connection is "readable": recv tells which.
  return WaitResult::Readable;
}

void CloseGracefully(UniqueSocket& socket, int milliseconds) {
  if (!socket) return;
  shutdown(socket.Get(), SD_SEND);
  ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(milliseconds);
  char sink[4096];
  for (ULONGLONG now = GetTickCount64(); now < deadline; now = GetTickCount64()) {
    if (WaitReadable(socket.Get(), static_cast<int>(deadline - now)) != WaitResult::Readable) break;
    if (recv(socket.Get(), sink, sizeof sink, 0) <= 0) break;
  }
  socket.Reset();
}

std::string AddressText(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

std::string SocketErrorText(int error) {
  switch (error) {
    case WSAECONNREFUSED: return "connection refused";
    case WSAETIMEDOUT: return "timed out";
    case WSAECONNRESET: return "connection reset";
    case WSAEADDRINUSE: return "address in use";
    case WSAEADDRNOTAVAIL: return "address not available";
    case WSAEACCES: return "access denied";
    case WSAHOST_NOT_FOUND: return "host not found";
    default: return "Winsock error " + std::to_string(error);
  }
}

UniqueSocket ConnectTo(const std::string& host, uint16_t port, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  int failure = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (failure != 0 || !found) {
    *error = host + ": " + SocketErrorText(failure ? failure : WSAHOST_NOT_FOUND);
    return {};
  }
  UniqueSocket socket;
  int last = 0;
  for (addrinfo* at = found; at; at = at->ai_next) {
    socket.Reset(::socket(at->ai_family, at->ai_socktype, at->ai_protocol));
    if (!socket) {
      last = WSAGetLastError();
      continue;
    }
    if (connect(socket.Get(), at->ai_addr, static_cast<int>(at->ai_addrlen)) == 0) break;
    last = WSAGetLastError();
    socket.Reset();
  }
  freeaddrinfo(found);
  if (!socket) *error = host + ":" + std::to_string(port) + ": " + SocketErrorText(last);
  return socket;
}

}  // namespace talverin::gateway
