#include "storage/container/huge_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "platform/errors.h"
#include "platform/file_util.h"
#include "platform/little_endian.h"

namespace kivo {

namespace {

// The container header that follows the first part header of a real
// container; finding it confirms a base offset candidate.
constexpr char kContainerSignature[9] = "KRPGYSGN";
constexpr std::int64_t kCopyBufferSize = 61440;
// The base offset search reads the first part in chunks of this many positions.
constexpr std::int64_t kBaseScanChunk = 65535;
// A candidate needs the part header and the container signature after it.
constexpr std::int64_t kBaseCandidateSize = kPartHeaderSize + 8;

// Existence in the sense of "a name that must not be reused": a dangling
// symbolic link counts as existing.
bool PathExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Target of a seek from `from` by `offset`; false on 64-bit overflow.
bool AddPosition(std::int64_t from, std::int64_t offset, std::int64_t& target) {
  return !__builtin_add_overflow(from, offset, &target);
}

}  // namespace

// ---------------------------------------------------------------- part header

void EncodePartHeader(std::int64_t partSize, const std::string& nextPartName,
                      std::uint8_t (&out)[kPartHeaderSize]) {
  std::memset(out, 0, sizeof(out));
  std::memcpy(out + offsetof(TPartHeader, PartSignature), kPartSignature, 8);
  StoreLE<std::int64_t>(out + offsetof(TPartHeader, PartSize), partSize);
  std::size_t n = std::min<std::size_t>(nextPartName.size(), kPartNameSize - 1);
  std::memcpy(out + offsetof(TPartHeader, NextPartName), nextPartName.data(), n);
}

bool DecodePartHeader(const std::uint8_t (&in)[kPartHeaderSize], std::int64_t& partSize,
                      std::string& nextPartName) {
  if (std::memcmp(in + offsetof(TPartHeader, PartSignature), kPartSignature, 8) != 0) return false;
  partSize = LoadLE<std::int64_t>(in + offsetof(TPartHeader, PartSize));
  const auto* name = reinterpret_cast<const char*>(in + offsetof(TPartHeader, NextPartName));
  const void* zero = std::memchr(name, 0, kPartNameSize);
  std::size_t len = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - name)
                         : static_cast<std::size_t>(kPartNameSize);
  nextPartName.assign(name, len);
  return true;
}

bool IsValidPartName(const std::string& name) {
  if (name.empty() || name.size() > static_cast<std::size_t>(kPartNameSize - 1)) return false;
  if (name == "." || name == "..") return false;
  return name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

// ---------------------------------------------------------------- TPagyAbstractFile

TPagyAbstractFile::TPagyAbstractFile(std::string fileName, bool readOnly, bool exclusive)
    : file_name_(std::move(fileName)), exclusive_(exclusive), read_only_(readOnly) {}

std::int64_t TPagyAbstractFile::GetSize() {
  std::int64_t pos = Seek(TSeekOrigin::soFromCurrent, 0);
  if (pos < 0) return -1;
  std::int64_t size = Seek(TSeekOrigin::soFromEnd, 0);
  Seek(TSeekOrigin::soFromBeginning, pos);
  return size;
}

bool TPagyAbstractFile::Reopen() {
  std::int64_t pos = GetPosition();
  Close();
  if (!Open(false)) return false;
  if (pos > 0) SetPosition(pos);
  return true;
}

void TPagyAbstractFile::ReadBuffer(void* buffer, std::int32_t count) {
  if (count != 0 && Read(buffer, count) != count)
    throw Exception("TPagyAbstractFile.ReadBuffer - Stream read error");
}

void TPagyAbstractFile::WriteBuffer(const void* buffer, std::int32_t count) {
  if (count != 0 && Write(buffer, count) != count)
    throw Exception("TPagyAbstractFile.WriteBuffer - Stream write error");
}

namespace {

std::int64_t PiecewiseTransfer(TPagyAbstractFile& file, bool write, const iovec* pieces,
                               int count) {
  std::int64_t done = 0;
  for (int i = 0; i < count; ++i) {
    const auto len = static_cast<std::int32_t>(pieces[i].iov_len);
    if (len == 0) continue;
    const std::int32_t n =
        write ? file.Write(pieces[i].iov_base, len) : file.Read(pieces[i].iov_base, len);
    done += n;
    if (n < len) break;
  }
  return done;
}

}  // namespace

std::int64_t TPagyAbstractFile::ReadV(const iovec* pieces, int count) {
  return PiecewiseTransfer(*this, false, pieces, count);
}

std::int64_t TPagyAbstractFile::WriteV(const iovec* pieces, int count) {
  return PiecewiseTransfer(*this, true, pieces, count);
}

std::int64_t TPagyAbstractFile::CopyFrom(TPagyAbstractFile& source, std::int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.GetSize();
  }
  if (count <= 0) return 0;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min(count, kCopyBufferSize)));
  std::int64_t left = count;
  while (left > 0) {
    auto n = static_cast<std::int32_t>(std::min<std::int64_t>(left, kCopyBufferSize));
    source.ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    left -= n;
  }
  return count;
}

// ---------------------------------------------------------------- TPagyDiskFile

TPagyDiskFile::TPagyDiskFile(std::string fileName, bool readOnly, bool exclusive)
    : TPagyAbstractFile(std::move(fileName), readOnly, exclusive) {}

TPagyDiskFile::~TPagyDiskFile() { Close(); }

void TPagyDiskFile::SetExclusive(bool value) {
  if (value == exclusive_) return;
  exclusive_ = value;
  if (IsOpen()) Reopen();
}

void TPagyDiskFile::SetReadOnly(bool value) {
  if (value == read_only_) return;
  read_only_ = value;
  if (IsOpen()) Reopen();
}

void TPagyDiskFile::SetSize(std::int64_t newSize) {
  int err = EBADF;
  if (IsOpen()) {
    if (newSize < 0) {
      err = EINVAL;
    } else if (::ftruncate(handle_, static_cast<off_t>(newSize)) == 0) {
      return;
    } else {
      err = errno;
    }
  }
  throw EInOutError(std::strerror(err), err);
}

std::int64_t TPagyDiskFile::GetSize() {
  struct stat st;
  if (!IsOpen() || ::fstat(handle_, &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

void TPagyDiskFile::Close() {
  if (handle_ >= 0) ::close(handle_);
  handle_ = -1;
  position_ = 0;
}

void TPagyDiskFile::Flush() {
  // A sync the system refuses leaves the pages not durable: reported, never
  // taken for done.
  if (handle_ >= 0 && ::fsync(handle_) != 0) {
    const int err = errno;
    throw EInOutError(std::strerror(err), err);
  }
}

bool TPagyDiskFile::Open(bool create) {
  Close();
  // O_NONBLOCK keeps a FIFO from blocking the open; only regular files are kept.
  int flags = (read_only_ ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NONBLOCK;
  if (create) flags |= O_CREAT;
  if (!follow_links_) flags |= O_NOFOLLOW;
  int fd = ::open(file_name_.c_str(), flags, 0666);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
      ::flock(fd, (exclusive_ ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  // Empty the file only once the lock is held, so that a file another holder
  // keeps exclusively is never emptied by a failed create.
  if (create && (read_only_ ? ::truncate(file_name_.c_str(), 0) : ::ftruncate(fd, 0)) != 0) {
    ::close(fd);
    return false;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  handle_ = fd;
  position_ = 0;
  return true;
}

namespace {

// Repeats a positioned read or write until `count` bytes have moved, the
// call reports the end of the file, or it fails with anything but EINTR.
// `io(at, n)` moves up to n bytes at offset `at` of the request.
template <typename Io>
std::int32_t TransferAll(std::int32_t count, Io io) {
  std::int32_t done = 0;
  while (done < count) {
    const ssize_t n = io(done, static_cast<std::size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::int32_t>(n);
  }
  return done;
}

}  // namespace

std::int32_t TPagyDiskFile::Read(void* buffer, std::int32_t count) {
  if (!IsOpen() || count <= 0) return 0;
  const std::int32_t done = TransferAll(count, [&](std::int32_t at, std::size_t n) {
    return ::pread(handle_, static_cast<char*>(buffer) + at, n, static_cast<off_t>(position_ + at));
  });
  position_ += done;
  return done;
}

std::int64_t TPagyDiskFile::Seek(TSeekOrigin origin, std::int64_t offset) {
  if (!IsOpen()) return -1;
  std::int64_t from = 0;
  switch (origin) {
    case TSeekOrigin::soFromBeginning:
      from = 0;
      break;
    case TSeekOrigin::soFromCurrent:
      from = position_;
      break;
    case TSeekOrigin::soFromEnd:
      from = GetSize();
      break;
  }
  std::int64_t target;
  if (from < 0 || !AddPosition(from, offset, target) || target < 0) return -1;
  position_ = target;
  return position_;
}

std::int32_t TPagyDiskFile::Write(const void* buffer, std::int32_t count) {
  if (!IsOpen()) return 0;
  if (count == 0) {
    ::ftruncate(handle_, static_cast<off_t>(position_));
    return 0;
  }
  if (count < 0) return 0;
  const std::int32_t done = TransferAll(count, [&](std::int32_t at, std::size_t n) {
    return ::pwrite(handle_, static_cast<const char*>(buffer) + at, n,
                    static_cast<off_t>(position_ + at));
  });
  position_ += done;
  return done;
}

std::int64_t TPagyDiskFile::ReadV(const iovec* pieces, int count) {
  return TransferV(false, pieces, count);
}

std::int64_t TPagyDiskFile::WriteV(const iovec* pieces, int count) {
  if (count <= 0) return 0;  // Write's count-0 truncation has no vector form
  return TransferV(true, pieces, count);
}

std::int64_t TPagyDiskFile::TransferV(bool write, const iovec* pieces, int count) {
  if (!IsOpen() || count <= 0) return 0;
  const std::int64_t start = position_;
  std::int64_t done = 0;
  bool stopped = false;
  while (count > 0 && !stopped) {
    const int batch = std::min(count, IOV_MAX);
    const auto at = static_cast<off_t>(start + done);
    const ssize_t n =
        write ? ::pwritev(handle_, pieces, batch, at) : ::preadv(handle_, pieces, batch, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
    auto left = static_cast<std::size_t>(n);
    while (count > 0 && left >= pieces->iov_len) {
      left -= pieces->iov_len;
      ++pieces;
      --count;
    }
    if (left == 0) continue;
    // A piece moved in part (a signal, or the end of the file when reading):
    // its rest goes on its own before the next pieces.
    auto* base = static_cast<char*>(pieces->iov_base) + left;
    std::size_t rest = pieces->iov_len - left;
    while (rest > 0) {
      const auto step = static_cast<std::int32_t>(
          std::min<std::size_t>(rest, static_cast<std::size_t>(INT32_MAX)));
      position_ = start + done;
      const std::int32_t m = write ? Write(base, step) : Read(base, step);
      done += m;
      if (m < step) {
        stopped = true;
        break;
      }
      base += m;
      rest -= static_cast<std::size_t>(m);
    }
    ++pieces;
    --count;
  }
  position_ = start + done;
  return done;
}

// ---------------------------------------------------------------- TPagyMemoryFile

TPagyMemoryFile::TPagyMemoryFile(std::string fileName, bool readOnly, bool exclusive)
    : TPagyAbstractFile(std::move(fileName), readOnly, exclusive) {}

void TPagyMemoryFile::SetSize(std::int64_t newSize) {
  if (!opened_) throw Exception("TPagyMemoryFile.SetSize - File is not open.");
  if (newSize < 0 || newSize > kMaxMemoryPartSize)
    throw Exception("TPagyMemoryFile.SetSize - Size out of range.");
  try {
    data_.resize(static_cast<std::size_t>(newSize));
  } catch (const std::bad_alloc&) {
    throw Exception("TPagyMemoryFile.SetSize - Out of memory.");
  }
}

std::int64_t TPagyMemoryFile::GetSize() {
  return opened_ ? static_cast<std::int64_t>(data_.size()) : -1;
}

void TPagyMemoryFile::Close() {
  data_.clear();
  data_.shrink_to_fit();
  position_ = 0;
  opened_ = false;
}

bool TPagyMemoryFile::Open(bool create) {
  if (!create)
    throw Exception("TPagyMemoryFile.Open - File cannot be open, only creation is available.");
  Close();
  opened_ = true;
  return true;
}

std::int32_t TPagyMemoryFile::Read(void* buffer, std::int32_t count) {
  if (!opened_ || count <= 0) return 0;
  auto size = static_cast<std::int64_t>(data_.size());
  if (position_ >= size) return 0;
  auto n = static_cast<std::int32_t>(std::min<std::int64_t>(count, size - position_));
  std::memcpy(buffer, data_.data() + position_, static_cast<std::size_t>(n));
  position_ += n;
  return n;
}

std::int64_t TPagyMemoryFile::Seek(TSeekOrigin origin, std::int64_t offset) {
  if (!opened_) return -1;
  std::int64_t from = 0;
  switch (origin) {
    case TSeekOrigin::soFromBeginning:
      from = 0;
      break;
    case TSeekOrigin::soFromCurrent:
      from = position_;
      break;
    case TSeekOrigin::soFromEnd:
      from = static_cast<std::int64_t>(data_.size());
      break;
  }
  std::int64_t target;
  if (!AddPosition(from, offset, target) || target < 0) return -1;
  position_ = target;
  return position_;
}

std::int32_t TPagyMemoryFile::Write(const void* buffer, std::int32_t count) {
  if (!opened_ || count <= 0 || position_ >= kMaxMemoryPartSize) return 0;
  auto n = static_cast<std::int32_t>(std::min<std::int64_t>(count, kMaxMemoryPartSize - position_));
  auto end = static_cast<std::size_t>(position_ + n);
  if (end > data_.size()) {
    try {
      data_.resize(end);
    } catch (const std::bad_alloc&) {
      return 0;
    }
  }
  std::memcpy(data_.data() + position_, buffer, static_cast<std::size_t>(n));
  position_ += n;
  return n;
}

// ---------------------------------------------------------------- TPagyHugeFile

TPagyHugeFile::TPagyHugeFile(std::string fileName, bool readOnly, bool exclusive, bool inMemory,
                             std::int64_t partSize)
    : file_name_(std::move(fileName)),
      exclusive_(exclusive),
      read_only_(readOnly),
      in_memory_(inMemory) {
  if (partSize == -1) {
    if (OperatingSystemVersion().empty()) throw Exception("Can't Identify OS version");
    partSize = MaxFileSizeOfVolume(file_name_);
    if (partSize <= 0) partSize = kDefaultPartSize;
  }
  if (partSize < kMinPartSize)
    throw Exception("File part size is too small. Minimal part size is " +
                    std::to_string(kMinPartSize));
  part_size_ = partSize;
  part_data_size_ = partSize - kPartHeaderSize;
}

TPagyHugeFile::~TPagyHugeFile() {
  in_memory_ = false;
  Close();
}

std::unique_ptr<TPagyAbstractFile> TPagyHugeFile::MakePart(const std::string& path,
                                                           bool chained) const {
  if (in_memory_) return std::make_unique<TPagyMemoryFile>(path, read_only_, exclusive_);
  auto part = std::make_unique<TPagyDiskFile>(path, read_only_, exclusive_);
  // A part reached through a chain name must be a regular file in the folder
  // itself, not a link that leads elsewhere.
  part->SetFollowLinks(!chained);
  return part;
}

bool TPagyHugeFile::Open(bool create, bool ignoreErrors) {
  return InternalOpen(file_name_, create, ignoreErrors);
}

bool TPagyHugeFile::InternalOpen(const std::string& name, bool create, bool ignoreErrors) {
  if (opened_) throw Exception("TPagyHugeFile.InternalOpen - File is already open.");
  if (in_memory_ && !parts_.empty() && !create) {
    position_ = 0;
    opened_ = true;
    return true;
  }
  if (!parts_.empty()) throw Exception("TPagyHugeFile.InternalOpen - File was not closed.");

  bool result;
  if (create) {
    DeleteAllParts(name);
    base_ = 0;
    result = AppendPart();
    size_ = 0;
  } else {
    bool firstPartUnopenable = false;
    bool whole = OpenChain(name, firstPartUnopenable);
    if (firstPartUnopenable && !read_only_ && !in_memory_) {
      // As for any disk file: what cannot be opened for writing may still be
      // read. The caller sees the change through ReadOnly().
      parts_.clear();
      read_only_ = true;
      whole = OpenChain(name, firstPartUnopenable);
      if (parts_.empty()) read_only_ = false;
    }
    result = (whole || ignoreErrors) && !parts_.empty();
    size_ = 0;
    if (result) {
      // A part longer than its data area (damage) counts only up to the
      // area's end, so that the size agrees with the mapping of positions.
      for (std::size_t i = 0; i < parts_.size(); ++i) {
        std::int64_t fileSize = std::min(parts_[i]->GetSize(), part_size_);
        std::int64_t start = kPartHeaderSize + (i == 0 ? base_ : 0);
        size_ += std::max<std::int64_t>(0, fileSize - start);
      }
    }
  }
  if (!result) {
    // A failed open leaves nothing behind, so the object can be opened again.
    parts_.clear();
    size_ = 0;
    base_ = 0;
  }
  position_ = 0;
  opened_ = result;
  return result;
}

bool TPagyHugeFile::OpenChain(const std::string& name, bool& firstPartUnopenable) {
  firstPartUnopenable = false;
  const std::string dir = ExtractFilePath(name);
  std::set<std::string> seen{ExtractFileName(name)};
  std::string current = name;
  for (int k = 0;; ++k) {
    if (k >= kMaxPartCount) return false;
    const bool chained = k > 0;
    std::unique_ptr<TPagyAbstractFile> part = MakePart(current, chained);
    bool opened;
    if (in_memory_) {
      opened = part->Open(true);
      TPagyDiskFile disk(current, true, false);
      disk.SetFollowLinks(!chained);
      if (opened && disk.Open(false)) {
        try {
          if (disk.GetSize() > kMaxMemoryPartSize) {
            opened = false;
          } else {
            part->CopyFrom(disk, 0);
            part->SetPosition(0);
          }
        } catch (const Exception&) {
          opened = false;
        }
      }
    } else {
      opened = part->Open(false);
    }
    if (!opened) {
      firstPartUnopenable = k == 0;
      return false;
    }

    const std::int64_t fileSize = part->GetSize();
    std::int64_t at = 0;
    if (k == 0) {
      FindBaseOffset(*part, base_);
      at = base_;
    }
    std::uint8_t image[kPartHeaderSize];
    std::int64_t partSize = 0;
    std::string next;
    if (fileSize < at + kPartHeaderSize || part->Seek(TSeekOrigin::soFromBeginning, at) != at ||
        part->Read(image, kPartHeaderSize) != kPartHeaderSize ||
        !DecodePartHeader(image, partSize, next))
      return false;
    if (k == 0) {
      // The part size decides every later offset: it must leave at least the
      // minimal data area, and the first part must hold at least one byte
      // after the bytes that precede it.
      if (partSize < kMinPartSize || base_ >= partSize - kPartHeaderSize) return false;
      part_size_ = partSize;
      part_data_size_ = partSize - kPartHeaderSize;
    }
    parts_.push_back(std::move(part));

    if (next.empty()) return true;
    // A part that names a successor must be exactly full; the successor must
    // be a plain name in this folder that the chain has not visited yet.
    if (fileSize != part_size_) return false;
    if (!IsValidPartName(next) || !seen.insert(next).second) return false;
    current = dir + next;
  }
}

bool TPagyHugeFile::FindBaseOffset(TPagyAbstractFile& part, std::int64_t& base) {
  base = 0;
  const std::int64_t fileSize = part.GetSize();
  // Each window holds kBaseScanChunk candidate positions and enough bytes
  // after the last of them to check it, so no candidate is missed at a
  // window's edge.
  std::vector<std::uint8_t> window(
      static_cast<std::size_t>(kBaseScanChunk + kBaseCandidateSize - 1));
  for (std::int64_t start = 0; start + kBaseCandidateSize <= fileSize; start += kBaseScanChunk) {
    auto want = static_cast<std::int32_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(window.size()), fileSize - start));
    if (part.Seek(TSeekOrigin::soFromBeginning, start) != start) return false;
    std::int32_t got = part.Read(window.data(), want);
    if (got < kBaseCandidateSize) return false;
    for (std::int32_t i = 0; i < kBaseScanChunk && i + kBaseCandidateSize <= got; ++i) {
      const std::uint8_t* p = window.data() + i;
      if (p[0] != kPartSignature[0] || std::memcmp(p, kPartSignature, 4) != 0) continue;
      if (std::memcmp(p, kPartSignature, 8) == 0 &&
          std::memcmp(p + kPartHeaderSize, kContainerSignature, 8) == 0) {
        base = start + i;
        return true;
      }
    }
  }
  return true;
}

void TPagyHugeFile::DeleteAllParts(const std::string& name) {
  if (in_memory_) {
    parts_.clear();
    return;
  }
  const std::string dir = ExtractFilePath(name);
  std::set<std::string> seen{ExtractFileName(name)};
  std::string current = name;
  for (int k = 0; k < kMaxPartCount; ++k) {
    const bool chained = k > 0;
    std::int64_t partSize = 0;
    std::string next;
    bool signedPart = false;
    {
      TPagyDiskFile file(current, true, false);
      file.SetFollowLinks(!chained);
      if (!file.Open(false)) return;
      std::int64_t at = 0;
      if (k == 0) FindBaseOffset(file, at);
      std::uint8_t image[kPartHeaderSize];
      signedPart = file.Seek(TSeekOrigin::soFromBeginning, at) == at &&
                   file.Read(image, kPartHeaderSize) == kPartHeaderSize &&
                   DecodePartHeader(image, partSize, next);
    }
    // The file being replaced goes in any case; a file reached through its
    // chain goes only when it carries the part signature.
    if (chained && !signedPart) return;
    if (!DeleteFile(current)) return;
    if (!signedPart || next.empty()) return;
    if (!IsValidPartName(next) || !seen.insert(next).second) return;
    current = dir + next;
  }
}

bool TPagyHugeFile::NameInUse(const std::string& path) const {
  if (PathExists(path)) return true;
  return std::any_of(parts_.begin(), parts_.end(),
                     [&](const auto& part) { return part->FileName() == path; });
}

bool TPagyHugeFile::WritePartHeader(TPagyAbstractFile& part, std::int64_t at,
                                    const std::string& next) {
  std::uint8_t image[kPartHeaderSize];
  EncodePartHeader(part_size_, next, image);
  std::int64_t keep = part.GetPosition();
  bool ok = part.Seek(TSeekOrigin::soFromBeginning, at) == at &&
            part.Write(image, kPartHeaderSize) == kPartHeaderSize;
  if (keep >= 0) part.Seek(TSeekOrigin::soFromBeginning, keep);
  return ok;
}

bool TPagyHugeFile::AppendPart() {
  if (parts_.size() >= static_cast<std::size_t>(kMaxPartCount)) return false;
  std::string path = file_name_;
  if (!parts_.empty()) {
    // name + k, or the next number whose name is free.
    std::int64_t number = static_cast<std::int64_t>(parts_.size());
    const std::int64_t last = number + kMaxPartCount;
    for (;; ++number) {
      if (number >= last) return false;
      path = file_name_ + std::to_string(number);
      if (!NameInUse(path)) break;
    }
    if (!IsValidPartName(ExtractFileName(path))) return false;
  }
  const bool chained = !parts_.empty();
  std::unique_ptr<TPagyAbstractFile> part = MakePart(path, chained);
  if (!part->Open(true)) return false;
  const std::int64_t at = chained ? 0 : base_;
  bool ok = WritePartHeader(*part, at, std::string());
  if (ok && chained) {
    TPagyAbstractFile& previous = *parts_.back();
    ok = WritePartHeader(previous, parts_.size() == 1 ? base_ : 0, ExtractFileName(path));
  }
  if (!ok) {
    part->Close();
    if (!in_memory_) DeleteFile(path);
    return false;
  }
  parts_.push_back(std::move(part));
  return true;
}

void TPagyHugeFile::DeleteLastPartFile() {
  if (parts_.size() < 2) throw Exception("TPagyHugeFile.DeleteLastPartFile - No parts to delete.");
  const std::string path = parts_.back()->FileName();
  parts_.back()->Close();
  parts_.pop_back();
  if (!in_memory_) DeleteFile(path);
  if (!WritePartHeader(*parts_.back(), parts_.size() == 1 ? base_ : 0, std::string()))
    throw Exception("TPagyHugeFile.WriteBuffer - Stream write error");
  // What is left holds whole data areas: the stream ends at their end at most.
  std::int64_t capacity = static_cast<std::int64_t>(parts_.size()) * part_data_size_ - base_;
  size_ = std::min(size_, capacity);
  position_ = std::min(position_, size_);
}

std::int64_t TPagyHugeFile::PartIndexOf(std::int64_t p) const {
  return (p + base_) / part_data_size_;
}

std::int64_t TPagyHugeFile::FileOffsetOf(std::int64_t p) const {
  if (PartIndexOf(p) == 0) return base_ + kPartHeaderSize + p;
  return kPartHeaderSize + (p + base_) % part_data_size_;
}

void TPagyHugeFile::Close() {
  if (!in_memory_) {
    parts_.clear();
    size_ = 0;
  }
  position_ = 0;
  opened_ = false;
}

void TPagyHugeFile::Flush() {
  for (auto& part : parts_) part->Flush();
}

std::int32_t TPagyHugeFile::Read(void* buffer, std::int32_t count) {
  if (position_ > size_) throw Exception("TPagyHugeFile.Read - Stream read error.");
  if (!opened_ || count <= 0) return 0;
  const auto want = static_cast<std::int32_t>(std::min<std::int64_t>(count, size_ - position_));
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::int32_t done = 0;
  while (done < want) {
    const std::int64_t k = PartIndexOf(position_);
    if (k >= static_cast<std::int64_t>(parts_.size())) break;
    TPagyAbstractFile& part = *parts_[static_cast<std::size_t>(k)];
    const std::int64_t offset = FileOffsetOf(position_);
    const auto chunk =
        static_cast<std::int32_t>(std::min<std::int64_t>(want - done, part_size_ - offset));
    if (part.Seek(TSeekOrigin::soFromBeginning, offset) != offset) break;
    const std::int32_t n = part.Read(out + done, chunk);
    done += n;
    position_ += n;
    if (n < chunk) break;
  }
  return done;
}

void TPagyHugeFile::ReadBuffer(void* buffer, std::int32_t count) {
  if (count != 0 && Read(buffer, count) != count)
    throw Exception("TPagyHugeFile.ReadBuffer - Stream read error");
}

std::int32_t TPagyHugeFile::Write(const void* buffer, std::int32_t count) {
  if (!opened_ || count <= 0) return 0;
  if (position_ > size_) {
    const std::int64_t keep = position_;
    try {
      SetSize(keep);
    } catch (const Exception&) {
      position_ = keep;
      return 0;
    }
    position_ = keep;
  }
  count = static_cast<std::int32_t>(std::min<std::int64_t>(count, kMaxStreamPosition - position_));
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  std::int32_t done = 0;
  while (done < count) {
    const std::int64_t k = PartIndexOf(position_);
    while (k >= static_cast<std::int64_t>(parts_.size())) {
      if (!AppendPart()) return done;
    }
    TPagyAbstractFile& part = *parts_[static_cast<std::size_t>(k)];
    const std::int64_t offset = FileOffsetOf(position_);
    const auto chunk =
        static_cast<std::int32_t>(std::min<std::int64_t>(count - done, part_size_ - offset));
    if (part.Seek(TSeekOrigin::soFromBeginning, offset) != offset) break;
    const std::int32_t n = part.Write(in + done, chunk);
    done += n;
    position_ += n;
    if (position_ > size_) size_ = position_;
    if (n < chunk) break;
  }
  return done;
}

std::int64_t TPagyHugeFile::TransferV(bool write, const iovec* pieces, int count,
                                      std::int64_t want) {
  std::int64_t done = 0;
  int next = 0;          // the first piece not wholly moved
  std::size_t skip = 0;  // bytes of it already moved
  while (done < want) {
    const std::int64_t k = PartIndexOf(position_);
    if (write) {
      bool appended = true;
      while (appended && k >= static_cast<std::int64_t>(parts_.size())) appended = AppendPart();
      if (!appended) break;
    } else if (k >= static_cast<std::int64_t>(parts_.size())) {
      break;
    }
    TPagyAbstractFile& part = *parts_[static_cast<std::size_t>(k)];
    const std::int64_t offset = FileOffsetOf(position_);
    const std::int64_t room = std::min<std::int64_t>(want - done, part_size_ - offset);
    // The pieces (or parts of pieces) that fit in this part.
    batch_.clear();
    std::int64_t chunk = 0;
    int i = next;
    std::size_t s = skip;
    while (chunk < room && i < count) {
      const std::size_t len = pieces[i].iov_len - s;
      const auto take = static_cast<std::size_t>(
          std::min<std::int64_t>(static_cast<std::int64_t>(len), room - chunk));
      if (take > 0) batch_.push_back({static_cast<char*>(pieces[i].iov_base) + s, take});
      chunk += static_cast<std::int64_t>(take);
      if (take == len) {
        ++i;
        s = 0;
      } else {
        s += take;
      }
    }
    if (chunk == 0) break;
    if (part.Seek(TSeekOrigin::soFromBeginning, offset) != offset) break;
    const std::int64_t n = write ? part.WriteV(batch_.data(), static_cast<int>(batch_.size()))
                                 : part.ReadV(batch_.data(), static_cast<int>(batch_.size()));
    done += n;
    position_ += n;
    if (write && position_ > size_) size_ = position_;
    if (n < chunk) break;
    next = i;
    skip = s;
  }
  return done;
}

std::int64_t TPagyHugeFile::ReadV(const iovec* pieces, int count) {
  if (position_ > size_) throw Exception("TPagyHugeFile.Read - Stream read error.");
  if (!opened_ || count <= 0) return 0;
  std::int64_t total = 0;
  for (int i = 0; i < count; ++i) total += static_cast<std::int64_t>(pieces[i].iov_len);
  return TransferV(false, pieces, count, std::min(total, size_ - position_));
}

std::int64_t TPagyHugeFile::WriteV(const iovec* pieces, int count) {
  if (!opened_ || count <= 0) return 0;
  std::int64_t total = 0;
  for (int i = 0; i < count; ++i) total += static_cast<std::int64_t>(pieces[i].iov_len);
  if (total <= 0) return 0;
  if (position_ > size_) {
    const std::int64_t keep = position_;
    try {
      SetSize(keep);
    } catch (const Exception&) {
      position_ = keep;
      return 0;
    }
    position_ = keep;
  }
  return TransferV(true, pieces, count, std::min(total, kMaxStreamPosition - position_));
}

void TPagyHugeFile::WriteBuffer(const void* buffer, std::int32_t count) {
  if (count != 0 && Write(buffer, count) != count)
    throw Exception("TPagyHugeFile.WriteBuffer - Stream write error");
}

std::int64_t TPagyHugeFile::Seek(TSeekOrigin origin, std::int64_t offset) {
  std::int64_t from = 0;
  switch (origin) {
    case TSeekOrigin::soFromBeginning:
      if (offset < 0) throw Exception("TPagyHugeFile.Seek - Offset < 0 from file beginning.");
      from = 0;
      break;
    case TSeekOrigin::soFromCurrent:
      from = position_;
      break;
    case TSeekOrigin::soFromEnd:
      from = size_;
      break;
  }
  std::int64_t target;
  if (!AddPosition(from, offset, target) || target > kMaxStreamPosition)
    throw Exception("TPagyHugeFile.Seek - Position out of range.");
  if (target < 0) throw Exception("TPagyHugeFile.Seek - Offset < 0 from file beginning.");
  position_ = target;
  if (opened_ && position_ <= size_) {
    const std::int64_t k = PartIndexOf(position_);
    if (k < static_cast<std::int64_t>(parts_.size()))
      parts_[static_cast<std::size_t>(k)]->SetPosition(FileOffsetOf(position_));
  }
  return position_;
}

void TPagyHugeFile::SetSize(std::int64_t newSize) {
  if (!opened_) throw Exception("TPagyHugeFile.SetSize - File is not open.");
  if (newSize < 0 || newSize > kMaxStreamPosition)
    throw Exception("TPagyHugeFile.SetSize - Size out of range.");
  const std::int64_t k = PartIndexOf(newSize);
  if (k >= kMaxPartCount) throw Exception("TPagyHugeFile.SetSize - Too many part files.");
  while (k >= static_cast<std::int64_t>(parts_.size())) {
    parts_.back()->SetSize(part_size_);
    if (!AppendPart()) throw Exception("TPagyHugeFile.SetSize - Cannot create a part file.");
  }
  while (k < static_cast<std::int64_t>(parts_.size()) - 1) DeleteLastPartFile();
  parts_[static_cast<std::size_t>(k)]->SetSize(FileOffsetOf(newSize));
  size_ = newSize;
  position_ = newSize;
}

}  // namespace kivo
