// The password record and master keys; layout in password.h.
#include "storage/crypto/password.h"

#include <cryptopp/misc.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/errors.h"
#include "platform/little_endian.h"
#include "storage/crypto/cipher.h"
#include "storage/crypto/hash.h"

namespace kivo {

const std::string_view kQuestionKey = "Wq7#vB2!kZ9%rT4$m";

namespace {

using namespace password_record;

// Reads from /dev/urandom, for kernels without getrandom(2).
bool ReadUrandom(std::uint8_t* p, std::size_t size) {
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (size > 0) {
    const ssize_t n = ::read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  ::close(fd);
  return true;
}

}  // namespace

void MakeMasterKey(void* buffer, std::size_t size) {
  auto* p = static_cast<std::uint8_t*>(buffer);
  while (size > 0) {
    const ssize_t n = ::getrandom(p, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSYS && ReadUrandom(p, size)) return;
      throw Exception("MakeMasterKey - cannot read random bytes, error " + std::to_string(errno));
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

void CreatePasswordRecord(std::span<std::uint8_t, kPasswordRecordSize> record,
                          std::string_view password, std::string_view question,
                          std::string_view answer) {
  if (password.size() > kMaxPasswordLength)
    throw Exception("Password length should be shorter then " + std::to_string(kMaxPasswordLength));
  if (question.size() > kMaxQuestionLength)
    throw Exception("Question length should be shorter then " + std::to_string(kMaxQuestionLength));

  // Built aside and copied at the end, so a failure leaves `record` as it was.
  PasswordRecord built{};
  std::uint8_t* r = built.data();
  MakeMasterKey(r + kMasterKeyOffset, kMasterKeySize);
  StoreLE<std::uint32_t>(r + kMasterKeyCrcOffset,
                         CRC16ARC(0, r + kMasterKeyOffset, kMasterKeySize));
  EncryptInPlace(password, r + kMasterKeyOffset, kMasterKeySize);

  if (!question.empty() && !answer.empty()) {
    std::memcpy(r + kQuestionOffset, question.data(), question.size());
    std::memcpy(r + kPasswordOffset, password.data(), password.size());
    EncryptInPlace(kQuestionKey, r + kQuestionOffset, kMaxQuestionLength);
    StoreLE<std::uint32_t>(r + kPasswordCrcOffset,
                           CRC16ARC(0, r + kPasswordOffset, kMaxPasswordLength));
    EncryptInPlace(answer, r + kPasswordOffset, kMaxPasswordLength);
  }
  std::memcpy(record.data(), built.data(), kPasswordRecordSize);
  CryptoPP::SecureWipeArray(built.data(), built.size());
}

bool CheckPassword(std::span<const std::uint8_t, kPasswordRecordSize> record,
                   std::string_view password, std::string& keyString) {
  if (password.empty()) return false;
  std::uint8_t key[kMasterKeySize];
  TCipher_Rijndael(password).DecodeBuffer(record.data() + kMasterKeyOffset, key, kMasterKeySize);
  const bool matches = CRC16ARC(0, key, kMasterKeySize) ==
                       LoadLE<std::uint32_t>(record.data() + kMasterKeyCrcOffset);
  keyString.assign(reinterpret_cast<const char*>(key), kMasterKeySize);
  keyString.push_back('\0');
  CryptoPP::SecureWipeArray(key, kMasterKeySize);
  return matches;
}

}  // namespace kivo
