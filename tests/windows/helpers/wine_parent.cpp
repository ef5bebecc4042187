// Stands in for OBS as the agent's parent: publishes its own process id (a Windows id, which
// differs from the Linux pid of the Wine process) and waits until it is killed.
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2) return 1;
  std::string tmp = std::string(argv[1]) + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) return 1;
  std::fprintf(f, "%lu", GetCurrentProcessId());
  std::fclose(f);
  if (!MoveFileExA(tmp.c_str(), argv[1], MOVEFILE_REPLACE_EXISTING)) return 1;
  Sleep(INFINITE);
  return 0;
}
