#include "tools/container_database.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "platform/errors.h"
#include "platform/locale.h"
#include "storage/container/directory.h"
#include "storage/container/free_space.h"
#include "storage/container/integrity.h"
#include "storage/container/page_manager.h"
#include "storage/container/pagy_file_system.h"
#include "storage/container/pagybox.h"

namespace kivo::tools {

namespace {

constexpr std::int32_t kCopyChunk = 64 * 1024;

// Only consulted when opening an existing container: the header's geometry rules.
constexpr std::int32_t kAnyPageSize = 4096;
constexpr std::int32_t kAnyExtentPageCount = 8;

// "label:" padded so that the values line up.
std::ostream& Field(std::ostream& out, const char* label) {
  std::string text = std::string(label) + ":";
  text.resize(std::max<std::size_t>(text.size() + 1, 21), ' ');
  return out << text;
}

std::string Hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// The signature bytes as text, anything unprintable as '?'.
std::string SignatureText(const TContainerHeader& header) {
  std::string text;
  for (int i = 0; i < 8; ++i) {
    const auto c = static_cast<unsigned char>(header.Bytes()[container_header::kSignature + i]);
    text += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  return text;
}

bool IsValidUtf8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t extra;
    std::uint32_t code;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      code = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      code = (code << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
    if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF))
      return false;
    i += extra + 1;
  }
  return true;
}

// Closes a container file handle on every path.
class THandleGuard {
 public:
  THandleGuard(TPagybox& box, std::int32_t handle) : box_(box), handle_(handle) {}
  ~THandleGuard() { box_.FileClose(handle_); }
  THandleGuard(const THandleGuard&) = delete;
  THandleGuard& operator=(const THandleGuard&) = delete;

 private:
  TPagybox& box_;
  std::int32_t handle_;
};

}  // namespace

std::string ToEngineText(const std::string& typed) {
  return IsValidUtf8(typed) ? Utf8ToCp1250(typed) : typed;
}

TContainerDatabase::TContainerDatabase(const std::string& path, const std::string& password)
    : path_(path), password_(ToEngineText(password)) {}

TContainerDatabase::~TContainerDatabase() = default;

TPagyPlainFileSystem& TContainerDatabase::FileSystem() {
  // The container's plain file system owns the container object; opened
  // read-only and sharing the file, it writes nothing.
  if (!files_)
    files_ = std::make_unique<TPagyPlainFileSystem>(path_, password_, dfmNormal, /*readOnly=*/true,
                                                    /*inMemory=*/false, /*createNew=*/false);
  return *files_;
}

TPagybox& TContainerDatabase::Box() { return FileSystem().Pagybox(); }

TAbstractPlainFileSystem& TContainerDatabase::PlainFiles() { return FileSystem(); }

void TContainerDatabase::WriteInfo(std::ostream& out) {
  // The page manager alone reads the header; it needs no password and does
  // not look at the directory, so a container whose directory is damaged or
  // whose password is unknown is still described.
  TPageFileManager pm(path_, kOpenReadOnly, "", "", "", false, kAnyPageSize, kAnyExtentPageCount,
                      -1);
  const TContainerHeader& h = pm.Header();
  const TPagyHugeFile& stream = pm.Stream();

  Field(out, "database") << path_ << "\n";
  Field(out, "kind") << "single-file container\n";
  Field(out, "signature") << SignatureText(h) << "\n";
  Field(out, "header checksum") << Hex32(h.HeaderChecksum()) << "\n";
  Field(out, "version") << h.Version() << "\n";
  Field(out, "page size") << h.PageSize() << "\n";
  Field(out, "page data size") << pm.PageDataSize() << "\n";
  Field(out, "extent page count") << h.ExtentPageCount() << "\n";
  Field(out, "first extent page") << h.FirstExtentPageNo() << "\n";
  Field(out, "page count") << h.PageCount() << "\n";
  Field(out, "GAM page count") << h.GAMPageCount() << "\n";
  Field(out, "PFS page count") << h.PFSPageCount() << "\n";
  Field(out, "dir page count") << h.DirPageCount() << "\n";
  Field(out, "first dir page") << h.FirstDirPageNo() << "\n";
  Field(out, "dir item count") << h.DirItemCount() << "\n";
  Field(out, "encrypted") << (h.Encrypted() == 1 ? "yes" : "no") << "\n";
  Field(out, "part size") << stream.PartSize() << "\n";
  Field(out, "base offset") << stream.BaseOffset() << "\n";
  Field(out, "stream size") << stream.GetSize() << "\n";
  Field(out, "part files") << stream.PartCount() << "\n";
  for (int i = 0; i < stream.PartCount(); ++i)
    Field(out, ("part " + std::to_string(i)).c_str()) << stream.PartFileName(i) << "\n";

  // The free-space maps are never encrypted either; a damaged one is said so
  // rather than failing the whole description.
  try {
    TFreeSpaceManager fsm(pm);
    std::int64_t freePages = 0;
    for (std::int32_t page = 1; page < h.PageCount(); ++page) freePages += fsm.PageIsFree(page);
    Field(out, "extents") << fsm.ExtentCount() << "\n";
    Field(out, "free extents") << fsm.FreeExtentCount() << "\n";
    Field(out, "mixed extents") << fsm.MixedExtentCount() << "\n";
    Field(out, "free pages") << freePages << "\n";
  } catch (const std::exception& e) {
    Field(out, "free space") << "unreadable: " << e.what() << "\n";
  }
}

std::vector<TListedFile> TContainerDatabase::ListFiles() {
  const TDIRManager& dir = Box().Directory();
  const TDIRArray& items = dir.Items();
  const std::int32_t count = items.ItemCount();
  std::vector<TListedFile> listed;
  for (std::int32_t n = 0; n < count; ++n) {
    const TDIRItem& item = items.ReadItem(n);
    if (item.IsDeleted()) continue;
    // The path from the root; a parent chain that leaves the table or loops
    // (a damaged directory) is shown as "?".
    std::string path = item.Name;
    std::set<std::int32_t> seen{n};
    for (std::int32_t parent = item.ParentItemNo; parent != -1;) {
      if (parent < 0 || parent >= count || !seen.insert(parent).second) {
        path = "?\\" + path;
        break;
      }
      const TDIRItem& up = items.ReadItem(parent);
      path = up.Name + "\\" + path;
      parent = up.ParentItemNo;
    }
    listed.push_back({Cp1250ToUtf8(path), item.IsDir() ? 0 : item.Size, item.IsDir()});
  }
  std::sort(listed.begin(), listed.end(),
            [](const TListedFile& a, const TListedFile& b) { return a.name < b.name; });
  return listed;
}

void TContainerDatabase::CopyFile(const std::string& typedName, std::ostream& out) {
  const std::string name = ToEngineText(typedName);
  TPagybox& box = Box();
  TDIRManager& dir = box.Directory();
  const std::int32_t itemNo = dir.FindPath(name);
  if (itemNo < 0 || dir.ReadItem(itemNo).IsDir())
    throw Exception("No file \"" + typedName + "\" in the container " + path_);
  if (!dir.CheckFilePassword(name, password_))
    throw Exception("The password does not open the file \"" + typedName + "\"");
  const std::int32_t handle = box.FileOpen(name, kOpenReadOnly, password_);
  if (handle < 0)
    throw Exception("Cannot open the file \"" + typedName + "\", error " + std::to_string(handle));
  THandleGuard guard(box, handle);

  const std::int64_t size = dir.ReadItem(itemNo).Size;
  std::vector<char> buffer(kCopyChunk);
  std::int64_t done = 0;
  while (done < size) {
    const auto want = static_cast<std::int32_t>(std::min<std::int64_t>(kCopyChunk, size - done));
    const std::int32_t got = box.FileRead(handle, buffer.data(), want);
    if (got <= 0)
      throw Exception("Cannot read the file \"" + typedName + "\" at byte " + std::to_string(done) +
                      " of " + std::to_string(size) + ", error " + std::to_string(box.LastError()));
    out.write(buffer.data(), got);
    done += got;
  }
}

std::vector<std::string> TContainerDatabase::Check() {
  // The findings quote item names in the engine's code page.
  std::vector<std::string> problems = CheckContainer(Box());
  for (std::string& problem : problems) problem = Cp1250ToUtf8(problem);
  return problems;
}

}  // namespace kivo::tools
