#include "agent/fs.h"

#include <cstdio>
#include <fstream>
#include <system_error>

namespace tunelight {

namespace stdfs = std::filesystem;

stdfs::path pathFromUtf8(const std::string& utf8) {
  return stdfs::u8path(utf8);
}

stdfs::path joinPath(const std::string& dir, const std::string& name) {
  return pathFromUtf8(dir) / pathFromUtf8(name);
}

bool createDirectories(const std::string& dir, std::string* error) {
  std::error_code ec;
  stdfs::path p = pathFromUtf8(dir);
  stdfs::create_directories(p, ec);
  // create_directories reports no error for an existing directory, but some library versions
  // report one when the path ends with a separator; trust the result only after checking.
  if (ec && stdfs::is_directory(p)) ec.clear();
  if (!ec && !stdfs::is_directory(p)) ec = std::make_error_code(std::errc::not_a_directory);
  if (ec && error) *error = ec.message();
  return !ec;
}

bool isDirectory(const std::string& path) {
  std::error_code ec;
  return stdfs::is_directory(pathFromUtf8(path), ec);
}

bool fileExists(const std::string& path) {
  std::error_code ec;
  return stdfs::exists(pathFromUtf8(path), ec);
}

bool writeFile(const stdfs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();  // flushes; a full disk shows up here
  return !out.fail();
}

bool writeFileAtomically(const stdfs::path& path, const std::string& bytes) {
  stdfs::path tmp = path;
  tmp += ".tmp";
  if (!writeFile(tmp, bytes)) return false;
  if (moveFile(tmp, path)) return true;
  removeFile(tmp);
  return false;
}

bool writeFileAtomically(const std::string& path, const std::string& bytes) {
  return writeFileAtomically(pathFromUtf8(path), bytes);
}

bool moveFile(const stdfs::path& from, const stdfs::path& to) {
  std::error_code ec;
  stdfs::rename(from, to, ec);  // replaces an existing file, also on Windows
  if (!ec) return true;
  if (ec != std::errc::cross_device_link) return false;
  // Another volume: copy, then drop the source.
  if (!stdfs::copy_file(from, to, stdfs::copy_options::overwrite_existing, ec)) return false;
  stdfs::remove(from, ec);
  return true;
}

bool removeFile(const stdfs::path& path) {
  std::error_code ec;
  return stdfs::remove(path, ec);
}

bool removeFile(const std::string& path) {
  return removeFile(pathFromUtf8(path));
}

}  // namespace tunelight
