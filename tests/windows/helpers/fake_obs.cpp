// A stand-in for obs.dll with just what loading and unloading the plugin module needs; every
// other function the module imports (cmake/obs.def) is a generated stub that returns zero.
// Configured through the environment: FAKE_OBS_CONFIG_DIR (the module's configuration directory,
// with a trailing separator) and FAKE_OBS_MODULE_PATH (the module's own file path). Log lines go to
// standard output as "LEVEL message".
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#define OBS_EXPORT extern "C" __declspec(dllexport)

namespace {

// UTF-8, as libobs hands out paths.
std::string envText(const wchar_t* name) {
  const wchar_t* v = _wgetenv(name);
  if (!v) return "";
  int n = WideCharToMultiByte(CP_UTF8, 0, v, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n) : 1, '\0');
  WideCharToMultiByte(CP_UTF8, 0, v, -1, &out[0], n, nullptr, nullptr);
  out.resize(out.size() - 1);
  return out;
}

std::string gModulePath;

}  // namespace

OBS_EXPORT char* obs_module_get_config_path(void*, const char* file) {
  std::string path = envText(L"FAKE_OBS_CONFIG_DIR") + (file ? file : "");
  char* out = static_cast<char*>(std::malloc(path.size() + 1));
  std::memcpy(out, path.c_str(), path.size() + 1);
  return out;
}

OBS_EXPORT void bfree(void* p) {
  std::free(p);
}

OBS_EXPORT int os_mkdirs(const char* path) {
  int n = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
  std::wstring p(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path, -1, &p[0], n);
  p.resize(p.size() - 1);
  for (size_t i = 3; i <= p.size(); ++i) {
    if (i == p.size() || p[i] == L'\\' || p[i] == L'/') {
      CreateDirectoryW(p.substr(0, i).c_str(), nullptr);
    }
  }
  return 0;
}

OBS_EXPORT const char* obs_get_module_binary_path(void*) {
  gModulePath = envText(L"FAKE_OBS_MODULE_PATH");
  return gModulePath.c_str();
}

OBS_EXPORT void blogva(int level, const char* format, va_list args) {
  char line[4096];
  std::vsnprintf(line, sizeof line, format, args);
  std::printf("%d %s\n", level, line);
  std::fflush(stdout);
}

OBS_EXPORT uint32_t obs_get_version(void) {
  return 0x1D000002;
}  // 29.0.2

OBS_EXPORT void obs_register_source_s(const void*, size_t size) {
  std::printf("registered %zu\n", size);
  std::fflush(stdout);
}
