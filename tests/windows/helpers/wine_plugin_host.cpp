// Loads the plugin module the way OBS does and unloads it once the file named by the second
// argument exists (or after 20 s):
//   wine-plugin-host MODULE_DLL UNLOAD_FILE
// Prints "loaded=<0|1>" and, after unloading, "unloaded".
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) return 1;
  HMODULE module = LoadLibraryA(argv[1]);
  if (!module) {
    std::printf("cannot load %lu\n", GetLastError());
    return 1;
  }
  using SetPointer = void (*)(void*);
  using Load = bool (*)();
  using Unload = void (*)();
  auto setPointer = reinterpret_cast<SetPointer>(
      reinterpret_cast<void*>(GetProcAddress(module, "obs_module_set_pointer")));
  auto load =
      reinterpret_cast<Load>(reinterpret_cast<void*>(GetProcAddress(module, "obs_module_load")));
  auto unload = reinterpret_cast<Unload>(
      reinterpret_cast<void*>(GetProcAddress(module, "obs_module_unload")));
  if (!setPointer || !load || !unload) return 1;
  static int moduleTag;
  setPointer(&moduleTag);
  std::printf("loaded=%d\n", load() ? 1 : 0);
  std::fflush(stdout);
  for (int i = 0; i < 400 && GetFileAttributesA(argv[2]) == INVALID_FILE_ATTRIBUTES; ++i) {
    Sleep(50);
  }
  unload();
  std::printf("unloaded\n");
  std::fflush(stdout);
  return 0;
}
