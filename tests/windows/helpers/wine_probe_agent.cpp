// Stands in for the agent when the plugin module starts it, with the agent's options:
//   tunelight-agent.exe --token T --port-file PORT_FILE --parent-pid N --log-file LOG_FILE
// Appends "start job=<0|1> errormode=<mode>" to LOG_FILE at every start. The first start (no
// log yet) exits with code 3, as the agent does after a media runtime fault. Later starts listen
// on a free loopback port, write it to PORT_FILE only after PROBE_PORT_DELAY_MS (default 6500),
// close every connection they get, and end by themselves after 30 s. The parent is not watched:
// only the job ends this agent with its host.
#include <winsock2.h>
// After winsock2.h, which must come first.
#include <shellapi.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc < 9) return 1;
  std::wstring port_file = argv[4], log_file = argv[8];

  BOOL in_job = FALSE;
  IsProcessInJob(GetCurrentProcess(), nullptr, &in_job);
  FILE* log = _wfopen(log_file.c_str(), L"ab+");
  if (!log) return 1;
  std::fseek(log, 0, SEEK_END);
  bool first = std::ftell(log) == 0;
  std::fprintf(log, "start job=%d errormode=%u\n", in_job ? 1 : 0, GetErrorMode());
  std::fclose(log);
  if (first) return 3;

  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof(addr);
  if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(s, 8) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return 1;
  }
  CreateThread(
      nullptr, 0,
      [](void* listener) -> DWORD {
        for (;;) {
          SOCKET c = accept(reinterpret_cast<SOCKET>(listener), nullptr, nullptr);
          if (c == INVALID_SOCKET) return 0;
          closesocket(c);
        }
      },
      reinterpret_cast<void*>(s), 0, nullptr);

  const char* delay = std::getenv("PROBE_PORT_DELAY_MS");
  Sleep(delay ? static_cast<DWORD>(std::atoi(delay)) : 6500);
  std::wstring tmp = port_file + L".tmp";
  FILE* f = _wfopen(tmp.c_str(), L"wb");
  if (!f) return 1;
  std::fprintf(f, "%u", ntohs(addr.sin_port));
  std::fclose(f);
  if (!MoveFileExW(tmp.c_str(), port_file.c_str(), MOVEFILE_REPLACE_EXISTING)) return 1;
  Sleep(30000);
  return 0;
}
