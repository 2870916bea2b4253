// Fuzz target: a container file (.kvb), as a damaged disk or a hostile copy
// may hold it. The first byte is a selector; the rest is the file. When the
// selector asks, the header's and every page's checksum are first made to
// match their bytes, so that inputs reach the structures behind the
// checksums as well as the checksum checks themselves.
//
// The container is opened for writing and checked as `kvbtool check` checks
// it (its pages and bitmaps, then its tables); every file in it is read to
// the end; then a file is written, grown, cut, renamed and deleted, and the
// container closed. Damage must give the engine's errors; nothing else may
// escape. A container that checked sound must check sound again after
// those changes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/errors.h"
#include "platform/little_endian.h"
#include "storage/container/integrity.h"
#include "storage/container/page_manager.h"
#include "storage/container/pagy_file_system.h"
#include "tools/table_reading.h"

namespace {

using kivo::fuzz::Fail;

std::uint32_t U32At(const std::string& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int b = 3; b >= 0; --b)
    v = (v << 8) | static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(b)]);
  return v;
}

void PutU32(std::string& bytes, std::size_t at, std::uint32_t v) {
  for (int b = 0; b < 4; ++b)
    bytes[at + static_cast<std::size_t>(b)] = static_cast<char>(v >> (8 * b));
}

// Makes the header checksum, and each whole page's, match the bytes.
void RepairChecksums(std::string& file) {
  namespace ch = kivo::container_header;
  if (file.size() < static_cast<std::size_t>(ch::kSize)) return;
  std::uint32_t sum = 0;
  for (std::size_t at = ch::kChecksumFrom; at < ch::kSize; at += 4) sum ^= U32At(file, at);
  PutU32(file, ch::kHeaderChecksum, sum);
  const auto pageSize = static_cast<std::int32_t>(U32At(file, ch::kPageSize));
  if (pageSize < kivo::MinPageSize || pageSize > (1 << 20)) return;
  const auto page = static_cast<std::size_t>(pageSize);
  for (std::size_t at = page; at + page <= file.size(); at += page) {
    const auto type = static_cast<std::uint8_t>(file[at + kivo::page_header::kChecksumType]);
    const auto* data =
        reinterpret_cast<const std::uint8_t*>(file.data() + at) + kivo::page_header::kSize;
    PutU32(file, at + kivo::page_header::kDataChecksum,
           kivo::PageChecksum(type, data, page - kivo::page_header::kSize));
  }
}

std::vector<std::string> Check(kivo::TPagyPlainFileSystem& files, const std::string& path) {
  std::vector<std::string> problems = kivo::CheckContainer(files.Pagybox(), 5);
  if (problems.empty()) problems = kivo::tools::CheckTables({path, files, true, ""});
  return problems;
}

void ReadWholeFile(kivo::TAbstractPlainFileSystem& files, const std::string& name) {
  kivo::TOpenFile f = files.OpenScoped(name, false, false, true);
  if (!f) return;
  char buffer[4096];
  std::int64_t total = 0;
  const std::int32_t size = f->GetSize();
  for (std::int32_t got; (got = f->Read(buffer, sizeof buffer)) > 0;) {
    total += got;
    if (total > size) Fail("a file read past its size");
  }
}

void Change(kivo::TAbstractPlainFileSystem& files) {
  std::string bytes(3000, 'x');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  {
    kivo::TOpenFile f = files.OpenScoped("fuzz.new", true, true, false);
    if (!f) return;
    f->WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    f->SetSize(9000);
    f->SetPosition(8000);
    f->WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    f->SetSize(1200);
    f->Flush();
  }
  files.RenameFile("fuzz.new", "fuzz.old");
  files.DeleteFile("fuzz.old");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static const kivo::fuzz::TScratchDir dir;
  dir.Clear();
  const std::uint8_t selector = data[0];
  std::string file(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((selector & 1) != 0) RepairChecksums(file);
  const std::string path = dir.File("db.kvb");
  dir.Write("db.kvb", file);

  bool sound = false;
  try {
    kivo::TPagyPlainFileSystem files(path, "", kivo::dfmNormal, false, false, false);
    sound = Check(files, path).empty();
    kivo::UnreferencedPages(files.Pagybox());
    std::vector<std::string> names;
    files.GetFileNames("", names);
    for (const std::string& name : names) ReadWholeFile(files, name);
    if ((selector & 2) != 0) Change(files);
  } catch (const kivo::Exception&) {
    sound = false;
  }
  if (!sound) return 0;

  std::vector<std::string> problems;
  try {
    kivo::TPagyPlainFileSystem files(path, "", kivo::dfmNormal, true, false, false);
    problems = Check(files, path);
  } catch (const kivo::Exception& e) {
    problems.push_back(e.what());
  }
  if (!problems.empty()) Fail("a sound container was left damaged: " + problems[0]);
  return 0;
}
