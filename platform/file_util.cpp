#include "platform/file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/errors.h"

namespace kivo {

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

std::string WorkingDirectory() {
  std::vector<char> buf(PATH_MAX);
  for (;;) {
    if (::getcwd(buf.data(), buf.size()) != nullptr) return std::string(buf.data());
    if (errno != ERANGE) return "/";
    buf.resize(buf.size() * 2);
  }
}

std::string ErrorText(int error) { return std::strerror(error); }

}  // namespace

std::string ExpandFileName(std::string_view path) {
  if (path.empty()) return std::string();
  std::string full =
      path.front() == '/' ? std::string(path) : WorkingDirectory() + "/" + std::string(path);
  const bool trailing = full.back() == '/';
  std::vector<std::string_view> parts;
  std::string_view rest(full);
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  for (const std::string_view part : parts) {
    out += '/';
    out.append(part);
  }
  if (out.empty() || trailing) out += '/';
  return out;
}

std::string ExtractFileName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ExtractFilePath(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

std::string ExtractFileExt(std::string_view path) {
  const std::string name = ExtractFileName(path);
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

std::string IncludeTrailingPathDelimiter(std::string_view path) {
  std::string out(path);
  if (!out.empty() && out.back() != '/') out += '/';
  return out;
}

std::string ProgramPath() {
  std::vector<char> buf(PATH_MAX);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < buf.size())
      return std::string(buf.data(), static_cast<std::size_t>(n));
    buf.resize(buf.size() * 2);
  }
}

std::string ProgramDirectory() { return ExtractFilePath(ProgramPath()); }

bool DeleteFile(const std::string& path) { return !path.empty() && ::unlink(path.c_str()) == 0; }

bool RenameFile(const std::string& from, const std::string& to) {
  return !from.empty() && !to.empty() && ::rename(from.c_str(), to.c_str()) == 0;
}

void DeleteFileOrRaise(const std::string& path) {
  if (DeleteFile(path)) return;
  const int error = path.empty() ? ENOENT : errno;
  throw EInOutError("Cannot delete file \"" + path + "\": " + ErrorText(error), error);
}

void RenameFileOrRaise(const std::string& from, const std::string& to) {
  if (RenameFile(from, to)) return;
  const int error = (from.empty() || to.empty()) ? ENOENT : errno;
  throw EInOutError("Cannot rename file \"" + from + "\" to \"" + to + "\": " + ErrorText(error),
                    error);
}

bool FileIsReadOnlyAttr(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  return (st.st_mode & S_IWUSR) == 0;
}

bool WriteAttributesBack(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  return ::chmod(path.c_str(), st.st_mode & 07777) == 0;
}

bool FileIsWritable(const std::string& path) {
  if (!FileExists(path) || FileIsReadOnlyAttr(path) || !WriteAttributesBack(path)) return false;
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::vector<std::string> ListFiles(const std::string& directory, std::string_view extension) {
  const std::string dir = directory.empty() ? std::string(".") : directory;
  std::unique_ptr<DIR, int (*)(DIR*)> handle(::opendir(dir.c_str()), &::closedir);
  if (!handle) {
    const int error = errno;
    throw EInOutError("Cannot read directory \"" + dir + "\": " + ErrorText(error), error);
  }
  const bool every = extension.empty() || extension == ".*";
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(handle.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (!every &&
        (name.size() < extension.size() ||
         name.compare(name.size() - extension.size(), extension.size(), extension) != 0)) {
      continue;
    }
    struct stat st;
    if (::stat((dir + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::int64_t DiskFreeBytes(const std::string& path) {
  struct statvfs st;
  if (path.empty() || ::statvfs(path.c_str(), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.f_bavail) * static_cast<std::int64_t>(st.f_frsize);
}

std::string VolumeFileSystemName(const std::string& path) {
  struct statfs st;
  if (path.empty() || ::statfs(path.c_str(), &st) != 0) return std::string();
  switch (static_cast<unsigned long>(st.f_type)) {
    case 0xEF53:
      return "ext4";  // ext2, ext3 and ext4 share the magic number
    case 0x58465342:
      return "xfs";
    case 0x9123683E:
      return "btrfs";
    case 0x01021994:
      return "tmpfs";
    case 0x794C7630:
      return "overlayfs";
    case 0x4D44:
      return "vfat";
    case 0x5346544E:
      return "ntfs";
    case 0x7366746E:
      return "ntfs3";
    case 0x2011BAB0:
      return "exfat";
    case 0x6969:
      return "nfs";
    case 0xFF534D42:
      return "cifs";
    case 0xFE534D42:
      return "smb2";
    case 0x65735546:
      return "fuse";
    case 0x9660:
      return "iso9660";
    case 0x15013346:
      return "udf";
    case 0x2FC12FC1:
      return "zfs";
    case 0xF2F52010:
      return "f2fs";
    case 0x3153464A:
      return "jfs";
    case 0x52654973:
      return "reiserfs";
    case 0x858458F6:
      return "ramfs";
    case 0x9FA0:
      return "proc";
    case 0x62656572:
      return "sysfs";
    case 0x01021997:
      return "9p";
    default:
      return "unknown";
  }
}

std::int64_t MaxFileSizeOfVolume(const std::string& path) {
  if (path.empty()) return 0;
  // pathconf wants an existing path: fall back to the directory of a file
  // that does not exist yet.
  std::string probe = path;
  errno = 0;
  long bits = ::pathconf(probe.c_str(), _PC_FILESIZEBITS);
  if (bits < 0) {
    probe = ExtractFilePath(ExpandFileName(path));
    errno = 0;
    bits = probe.empty() ? -1 : ::pathconf(probe.c_str(), _PC_FILESIZEBITS);
  }
  if (bits <= 1) return 0;
  // Sizes are signed: n bits give at most 2^(n-1) - 1 bytes.
  if (bits >= 64) return INT64_MAX;
  return (std::int64_t{1} << (bits - 1)) - 1;
}

std::string OperatingSystemVersion() {
  struct utsname u;
  if (::uname(&u) != 0) return std::string();
  return std::string(u.sysname) + " " + u.release + " " + u.version + " " + u.machine;
}

}  // namespace kivo
