#include "agent/platform/fs.h"

#include <cerrno>
#include <fstream>
#include <system_error>

namespace tunelight {

namespace stdfs = std::filesystem;

namespace {

void setError(std::string* error, const std::error_code& ec) {
  if (error) *error = ec.message();
}

// The reason a stream operation failed, as the C library left it.
void setErrnoError(std::string* error) {
  const int e = errno;
  if (error) *error = e ? std::generic_category().message(e) : "unknown error";
}

}  // namespace

stdfs::path joinPath(const std::string& dir, const std::string& name) {
  return pathFromUtf8(dir) / pathFromUtf8(name);
}

bool createDirectories(const std::string& dir, std::string* error) {
  std::error_code ec;
  const stdfs::path p = pathFromUtf8(dir);
  stdfs::create_directories(p, ec);
  // create_directories reports no error for an existing directory, but some library versions
  // report one when the path ends with a separator; trust the result only after checking.
  std::error_code probe;
  const bool isDir = stdfs::is_directory(p, probe);
  if (ec && isDir) ec.clear();
  if (!ec && !isDir) ec = probe ? probe : std::make_error_code(std::errc::not_a_directory);
  if (ec) setError(error, ec);
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

uint64_t fileSize(const stdfs::path& path) {
  std::error_code ec;
  const uintmax_t n = stdfs::file_size(path, ec);
  return ec ? 0 : static_cast<uint64_t>(n);
}

bool writeFile(const stdfs::path& path, const std::string& bytes, std::string* error) {
  errno = 0;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    setErrnoError(error);
    return false;
  }
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();  // flushes; a full disk shows up here
  if (out.fail()) {
    setErrnoError(error);
    return false;
  }
  return true;
}

bool writeFileAtomically(const stdfs::path& path, const std::string& bytes, std::string* error) {
  stdfs::path tmp = path;
  tmp += ".tmp";
  if (writeFile(tmp, bytes, error) && moveFile(tmp, path, error)) return true;
  // A half-written or unmovable temporary file would only confuse the user; the next attempt
  // writes it afresh.
  removeFile(tmp);
  return false;
}

bool writeFileAtomically(const std::string& path, const std::string& bytes, std::string* error) {
  return writeFileAtomically(pathFromUtf8(path), bytes, error);
}

bool moveFile(const stdfs::path& from, const stdfs::path& to, std::string* error) {
  std::error_code ec;
  stdfs::rename(from, to, ec);  // replaces an existing file, also on Windows
  if (!ec) return true;
  if (ec != std::errc::cross_device_link) {
    setError(error, ec);
    return false;
  }
  // Another volume: copy, then drop the source.
  if (!stdfs::copy_file(from, to, stdfs::copy_options::overwrite_existing, ec)) {
    setError(error, ec);
    return false;
  }
  stdfs::remove(from, ec);
  return true;
}

bool removeFile(const stdfs::path& path, std::string* error) {
  std::error_code ec;
  const bool removed = stdfs::remove(path, ec);
  if (ec) setError(error, ec);
  return removed;
}

bool removeFile(const std::string& path, std::string* error) {
  return removeFile(pathFromUtf8(path), error);
}

}  // namespace tunelight
