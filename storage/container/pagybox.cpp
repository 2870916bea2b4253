#include "storage/container/pagybox.h"

#include "platform/errors.h"
#include "platform/file_util.h"
#include "storage/crypto/password.h"

namespace kivo {

namespace {

// Geometry used to open a container only for its header; the header's own
// values replace it.
constexpr std::int32_t kProbePageSize = 4096;
constexpr std::int32_t kProbeExtentPageCount = 8;

std::string DoubleQuoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    out += c;
    if (c == '"') out += '"';
  }
  out += '"';
  return out;
}

}  // namespace

namespace pagy {

bool CheckContainerPassword(const std::string& fileName, const std::string& password) {
  TPageFileManager probe(fileName, kOpenReadOnly, {}, {}, {}, false, kProbePageSize,
                         kProbeExtentPageCount, -1);
  if (probe.Header().Encrypted() != 1) return true;
  std::string key;
  return CheckPassword(std::span<const std::uint8_t, kPasswordRecordSize>(
                           probe.Header().PasswordRecord(), kPasswordRecordSize),
                       password, key);
}

bool IsFileEncrypted(const std::string& fileName) {
  TPageFileManager probe(fileName, kOpenReadOnly, {}, {}, {}, false, kProbePageSize,
                         kProbeExtentPageCount, -1);
  return probe.Header().Encrypted() == 1;
}

}  // namespace pagy

TPagybox::TPagybox(const std::string& fileName, std::uint16_t openMode, bool inMemory,
                   const std::string& password, const std::string& question,
                   const std::string& answer, std::int32_t pageSize,
                   std::int32_t extentPageCount, std::int64_t partSize) {
  in_memory_ = inMemory;
  file_name_ = fileName;
  open_mode_ = openMode;
  if (in_memory_ && open_mode_ == kContainerCreate && kivo::FileExists(file_name_))
    open_mode_ = kOpenReadWrite;
  if (open_mode_ != kContainerCreate && !pagy::CheckContainerPassword(file_name_, password))
    throw Exception("TPagybox.Create - invalid password specified, file name = " +
                    DoubleQuoted(file_name_));
  page_manager_ = std::make_unique<TPageFileManager>(file_name_, open_mode_, password, question,
                                                     answer, in_memory_, pageSize,
                                                     extentPageCount, partSize);
  password_ = password;
  free_space_ = std::make_unique<TFreeSpaceManager>(*page_manager_);
  read_only_ = page_manager_->ReadOnly();
  exclusive_ = page_manager_->Exclusive();
  if (!IsEncrypted()) password_.clear();
}

TPagybox::~TPagybox() {
  try {
    page_manager_->Flush();
  } catch (const std::exception&) {
    // Nothing can be reported from a destructor; the data already went to the stream.
  }
  free_space_.reset();
  page_manager_.reset();
}

}  // namespace kivo
