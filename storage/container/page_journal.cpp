#include "storage/container/page_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/little_endian.h"

namespace kivo {
namespace {

std::uint32_t Crc(std::uint32_t crc, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const Bytef*>(data);
  while (size > 0) {
    const auto chunk = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
    crc = static_cast<std::uint32_t>(::crc32(crc, bytes, chunk));
    bytes += chunk;
    size -= chunk;
  }
  return crc;
}

// Writes every piece at file offset 0 onwards; the bytes written.
std::int64_t WriteAllAt(int handle, const iovec* pieces, int count) {
  std::int64_t done = 0;
  std::vector<iovec> rest(pieces, pieces + count);
  std::size_t first = 0;
  while (first < rest.size()) {
    const int n = static_cast<int>(std::min<std::size_t>(rest.size() - first, IOV_MAX));
    const ssize_t put = ::pwritev(handle, rest.data() + first, n, done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return done;
    }
    if (put == 0) return done;
    done += put;
    auto left = static_cast<std::size_t>(put);
    while (first < rest.size() && left >= rest[first].iov_len) {
      left -= rest[first].iov_len;
      ++first;
    }
    if (first < rest.size()) {
      rest[first].iov_base = static_cast<std::uint8_t*>(rest[first].iov_base) + left;
      rest[first].iov_len -= left;
    }
  }
  return done;
}

bool ReadAllAt(int handle, void* buffer, std::size_t size, std::int64_t offset) {
  auto* at = static_cast<std::uint8_t*>(buffer);
  while (size > 0) {
    const ssize_t got = ::pread(handle, at, size, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    at += got;
    size -= static_cast<std::size_t>(got);
    offset += got;
  }
  return true;
}

}  // namespace

std::string TPageJournal::PathFor(const std::string& containerPath) {
  return containerPath + "-journal";
}

std::unique_ptr<TPageJournal> TPageJournal::Open(const std::string& containerPath) {
  return OpenWith(containerPath, O_RDWR | O_CREAT);
}

std::unique_ptr<TPageJournal> TPageJournal::OpenForReading(const std::string& containerPath) {
  return OpenWith(containerPath, O_RDONLY);
}

std::unique_ptr<TPageJournal> TPageJournal::OpenWith(const std::string& containerPath, int flags) {
  struct statx container {};
  if (::statx(AT_FDCWD, containerPath.c_str(), 0, STATX_INO | STATX_BTIME, &container) != 0) {
    return nullptr;
  }
  const std::uint64_t birth =
      (container.stx_mask & STATX_BTIME) != 0
          ? static_cast<std::uint64_t>(container.stx_btime.tv_sec) * 1000000000u +
                container.stx_btime.tv_nsec
          : 0;
  const std::uint64_t device =
      (static_cast<std::uint64_t>(container.stx_dev_major) << 32) | container.stx_dev_minor;
  const std::string path = PathFor(containerPath);
  // Never follow a link: the journal is written to, and a planted link would
  // aim those writes at another file.
  const bool writable = (flags & O_CREAT) != 0;
  int handle = ::open(path.c_str(), (flags & ~O_CREAT) | O_CLOEXEC | O_NOFOLLOW);
  const bool existed = handle >= 0;
  if (handle < 0 && writable) handle = ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (handle < 0) return nullptr;
  struct stat journal {};
  if (::fstat(handle, &journal) != 0 || !S_ISREG(journal.st_mode)) {
    ::close(handle);
    return nullptr;
  }
  std::unique_ptr<TPageJournal> result(
      new TPageJournal(path, handle, device, static_cast<std::uint64_t>(container.stx_ino), birth));
  if (writable) {
    // Every writer holds a shared lock on the journal while the container is
    // open. Taking it exclusively for a moment tells whether another writer
    // is there; the lock is then shared like everyone else's. A writer that
    // races with this only sees someone there, which is the safe answer.
    const bool alone = ::flock(handle, LOCK_EX | LOCK_NB) == 0;
    if (::flock(handle, LOCK_SH) != 0 && alone) {
      // Without its lock this writer would look absent to the next one.
      return nullptr;
    }
    result->left_by_dead_writer_ = existed && alone;
  }
  return result;
}

TPageJournal::TPageJournal(std::string path, int handle, std::uint64_t device, std::uint64_t inode,
                           std::uint64_t birth)
    : path_(std::move(path)), handle_(handle), device_(device), inode_(inode), birth_(birth) {}

TPageJournal::~TPageJournal() {
  if (handle_ >= 0) ::close(handle_);
}

TPageJournal::TRecordResult TPageJournal::Record(std::int64_t offset, const iovec* pieces,
                                                 int count) {
  if (unsafe_) return TRecordResult::kUnsafe;
  if (handle_ < 0) return TRecordResult::kNoCopy;
  std::uint64_t length = 0;
  for (int i = 0; i < count; ++i) length += pieces[i].iov_len;
  if (length == 0 || length > static_cast<std::uint64_t>(kMaxLength) || offset < 0) {
    // Nothing the journal can hold: make sure no older copy survives it.
    Clear();
    return unsafe_ ? TRecordResult::kUnsafe : TRecordResult::kNoCopy;
  }
  std::uint8_t header[kHeaderSize] = {};
  std::memcpy(header, kSignature, 8);
  StoreLE<std::uint64_t>(header + 8, device_);
  StoreLE<std::uint64_t>(header + 16, inode_);
  StoreLE<std::uint64_t>(header + 24, birth_);
  StoreLE<std::int64_t>(header + 32, offset);
  StoreLE<std::uint32_t>(header + 40, static_cast<std::uint32_t>(length));
  std::uint32_t crc = Crc(0, header, 44);
  for (int i = 0; i < count; ++i) crc = Crc(crc, pieces[i].iov_base, pieces[i].iov_len);
  StoreLE<std::uint32_t>(header + 44, crc);

  pieces_.clear();
  pieces_.push_back({header, kHeaderSize});
  pieces_.insert(pieces_.end(), pieces, pieces + count);
  const std::int64_t want = kHeaderSize + static_cast<std::int64_t>(length);
  if (WriteAllAt(handle_, pieces_.data(), static_cast<int>(pieces_.size())) == want) {
    return TRecordResult::kRecorded;
  }
  // A part of the new copy may have replaced a part of the old one; whatever
  // is there fails its CRC, but an old copy whose bytes were not reached
  // could still pass, so the journal is emptied.
  Clear();
  return unsafe_ ? TRecordResult::kUnsafe : TRecordResult::kNoCopy;
}

std::optional<TPageJournal::TCopy> TPageJournal::PendingCopy() {
  if (handle_ < 0) return std::nullopt;
  struct stat journal {};
  if (::fstat(handle_, &journal) != 0 || journal.st_size < kHeaderSize) return std::nullopt;
  std::uint8_t header[kHeaderSize];
  if (!ReadAllAt(handle_, header, kHeaderSize, 0)) return std::nullopt;
  if (std::memcmp(header, kSignature, 8) != 0) return std::nullopt;
  if (LoadLE<std::uint64_t>(header + 8) != device_ ||
      LoadLE<std::uint64_t>(header + 16) != inode_ ||
      LoadLE<std::uint64_t>(header + 24) != birth_) {
    return std::nullopt;
  }
  const auto offset = LoadLE<std::int64_t>(header + 32);
  const auto length = LoadLE<std::int32_t>(header + 40);
  if (offset < 0 || length <= 0 || length > kMaxLength || journal.st_size - kHeaderSize < length) {
    return std::nullopt;
  }
  TCopy copy;
  copy.Offset = offset;
  copy.Bytes.resize(static_cast<std::size_t>(length));
  if (!ReadAllAt(handle_, copy.Bytes.data(), copy.Bytes.size(), kHeaderSize)) return std::nullopt;
  std::uint32_t crc = Crc(0, header, 44);
  crc = Crc(crc, copy.Bytes.data(), copy.Bytes.size());
  if (crc != LoadLE<std::uint32_t>(header + 44)) return std::nullopt;
  return copy;
}

void TPageJournal::Clear() {
  if (handle_ < 0) return;
  // Truncation needs no free space; should it fail, the signature is
  // overwritten; should that fail too, the file is removed. A copy that can
  // be neither emptied nor removed leaves the journal unsafe: page writes are
  // then refused, since replaying that copy later would undo them.
  if (::ftruncate(handle_, 0) == 0) return;
  static const std::uint8_t zeros[8] = {};
  if (::pwrite(handle_, zeros, sizeof zeros, 0) == static_cast<ssize_t>(sizeof zeros)) return;
  ::close(handle_);
  handle_ = -1;
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT) unsafe_ = true;
}

void TPageJournal::Remove() {
  if (handle_ < 0) return;
  ::close(handle_);
  handle_ = -1;
  ::unlink(path_.c_str());
}

}  // namespace kivo
