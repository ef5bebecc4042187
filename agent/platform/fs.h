#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace tunelight {

// File helpers that take UTF-8 path texts, so the same calls work where the platform's native
// path encoding is not UTF-8. None of them throws (other than running out of memory). Where an
// error text is asked for, it receives the system's reason for a failure.

// The UTF-8 text as a file-system path; text that is not UTF-8 is converted as well as it can be.
std::filesystem::path pathFromUtf8(const std::string& utf8);
// dir joined with name; one separator is inserted unless dir already ends with one.
std::filesystem::path joinPath(const std::string& dir, const std::string& name);

// Creates dir and any missing parents. An existing directory is success.
bool createDirectories(const std::string& dir, std::string* error = nullptr);
bool isDirectory(const std::string& path);
bool fileExists(const std::string& path);
// Size of a regular file; 0 when it is missing or cannot be read.
uint64_t fileSize(const std::filesystem::path& path);

// Opens path for binary writing (truncating), writes all bytes and closes it.
bool writeFile(const std::filesystem::path& path, const std::string& bytes,
               std::string* error = nullptr);
// Writes path + ".tmp", then moves it over path, so that a reader sees either the old or the
// new content, never a part. On any failure the temporary file is deleted again.
bool writeFileAtomically(const std::filesystem::path& path, const std::string& bytes,
                         std::string* error = nullptr);
bool writeFileAtomically(const std::string& path, const std::string& bytes,
                         std::string* error = nullptr);
// Moves from to to, replacing an existing file.
bool moveFile(const std::filesystem::path& from, const std::filesystem::path& to,
              std::string* error = nullptr);
// Deletes a file; false when there was nothing to delete or it could not be deleted. error is
// set only in the second case.
bool removeFile(const std::filesystem::path& path, std::string* error = nullptr);
bool removeFile(const std::string& path, std::string* error = nullptr);

}  // namespace tunelight
