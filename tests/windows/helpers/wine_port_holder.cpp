// Holds loopback ports the way an unrelated program would (plain bind and listen, address reuse
// allowed), writes "ready" into a file once it tried them all, and waits until it is killed.
// A port that something else holds already is reported and skipped: it is held either way.
#include <winsock2.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) return 1;
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
  for (int i = 2; i < argc; ++i) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return 1;
    BOOL yes = TRUE;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof(yes));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(std::atoi(argv[i])));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(s, 4) != 0) {
      std::printf("busy %s: %d\n", argv[i], WSAGetLastError());
      closesocket(s);
      continue;
    }
  }
  std::fflush(stdout);
  FILE* f = std::fopen(argv[1], "wb");
  if (!f) return 1;
  std::fputs("ready", f);
  std::fclose(f);
  Sleep(INFINITE);
  return 0;
}
