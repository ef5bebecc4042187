#pragma once

#include <filesystem>
#include <string>

namespace tunelight {

// File helpers that take UTF-8 path texts, so the same calls work where the platform's native
// path encoding is not UTF-8. None of them throws.

// The UTF-8 text as a file-system path.
std::filesystem::path pathFromUtf8(const std::string& utf8);
// dir joined with name; one separator is inserted unless dir already ends with one.
std::filesystem::path joinPath(const std::string& dir, const std::string& name);

// Creates dir and any missing parents. An existing directory is success. On failure, error
// receives the system's text for the reason.
bool createDirectories(const std::string& dir, std::string* error = nullptr);
bool isDirectory(const std::string& path);
bool fileExists(const std::string& path);

// Opens path for binary writing (truncating), writes all bytes and closes it.
bool writeFile(const std::filesystem::path& path, const std::string& bytes);
// Writes path + ".tmp", then moves it over path, so that a reader sees either the old or the
// new content, never a part. A failed move deletes the temporary file; a failed write leaves it.
bool writeFileAtomically(const std::filesystem::path& path, const std::string& bytes);
bool writeFileAtomically(const std::string& path, const std::string& bytes);
// Moves from to to, replacing an existing file.
bool moveFile(const std::filesystem::path& from, const std::filesystem::path& to);
// Deletes a file; false when there was nothing to delete or it could not be deleted.
bool removeFile(const std::filesystem::path& path);
bool removeFile(const std::string& path);

}  // namespace tunelight
