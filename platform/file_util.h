// Files and volumes: path names, existence and attribute tests, delete and
// rename, directory listing, and what the volume holding a path allows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kivo {

// True when `path` names something that exists and is not a directory.
bool FileExists(const std::string& path);
// True when `path` names a directory.
bool DirectoryExists(const std::string& path);

// The absolute form of `path`: relative paths start at the working
// directory, "." and ".." components are resolved by name (".." of the root
// is the root), repeated separators collapse, a trailing "/" is kept. The
// file need not exist. "" stays "".
std::string ExpandFileName(std::string_view path);
// The part after the last "/" ("" when the path ends with "/").
std::string ExtractFileName(std::string_view path);
// The part up to and including the last "/" ("" when there is none).
std::string ExtractFilePath(std::string_view path);
// The extension of the file name with its dot (".kvb"), "" when none.
std::string ExtractFileExt(std::string_view path);
// `path` with one "/" at the end ("" stays "").
std::string IncludeTrailingPathDelimiter(std::string_view path);

// The running program's file, and its directory with a trailing "/"
// (from /proc/self/exe; "" when it cannot be read).
std::string ProgramPath();
std::string ProgramDirectory();

// Delete and rename; false on failure (errno tells why).
bool DeleteFile(const std::string& path);
bool RenameFile(const std::string& from, const std::string& to);
// The same, raising EInOutError (with errno) on failure.
void DeleteFileOrRaise(const std::string& path);
void RenameFileOrRaise(const std::string& from, const std::string& to);

// True when the file's mode gives its owner no write permission (the
// read-only attribute); false when the file does not exist.
bool FileIsReadOnlyAttr(const std::string& path);
// Writes the file's own mode back to it; false when that is refused (a
// read-only mount, a file of another user) or the file does not exist.
bool WriteAttributesBack(const std::string& path);
// True when the file exists, has no read-only attribute, takes its
// attributes back, and opens for reading and writing.
bool FileIsWritable(const std::string& path);

// Names (without directory) of the regular files in `directory` whose names
// end with `extension` (".dat"; "" or ".*" lists every file), sorted.
// Raises EInOutError when the directory cannot be read.
std::vector<std::string> ListFiles(const std::string& directory, std::string_view extension);

// Bytes free for an unprivileged caller on the volume holding `path`; -1
// when the volume cannot be queried.
std::int64_t DiskFreeBytes(const std::string& path);
// Name of the file system of the volume holding `path` ("ext4", "tmpfs",
// "xfs", ...; "unknown" for a type this table lacks); "" when the volume
// cannot be queried.
std::string VolumeFileSystemName(const std::string& path);
// The largest file size the volume holding `path` allows, from the number
// of bits it gives file sizes; 0 when it cannot be determined.
std::int64_t MaxFileSizeOfVolume(const std::string& path);

// "Linux 6.1.0-18-amd64 #1 SMP ... x86_64" (uname); "" when unavailable.
std::string OperatingSystemVersion();

}  // namespace kivo
