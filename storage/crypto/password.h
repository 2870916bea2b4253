// The password record of a container and of a password-protected file in it,
// and the master key it protects.
//
// A container's pages are encrypted with a random 32-byte master key. The
// record keeps that key encrypted under the user's password, with a CRC-16 of
// the plain key so that a password can be checked (a wrong password passes
// with probability 1 in 65536). The page key string is the master key plus
// one zero byte (33 bytes), used as a key string for TCipher_Rijndael.
//
// PasswordRecord, 172 bytes:
//   OFFSET  SIZE  CONTENT
//        0    32  master key, encrypted with the password as key string
//       32    32  password zero-padded to 32 bytes, encrypted with the answer
//                 as key string; all zero without question and answer
//       64     4  CRC-16/ARC of the plain master key (LE, high 16 bits zero)
//       68     4  CRC-16/ARC of the plain padded password area; 0 without
//                 question and answer
//       72   100  question zero-padded to 100 bytes, encrypted with the fixed
//                 question key; all zero without question and answer
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kivo {

constexpr std::size_t kPasswordRecordSize = 172;
constexpr std::size_t kMasterKeySize = 32;
constexpr std::size_t kMaxPasswordLength = 32;
constexpr std::size_t kMaxQuestionLength = 100;
// Length of the key string CheckPassword returns (master key + one zero).
constexpr std::size_t kPageKeyStringSize = kMasterKeySize + 1;

namespace password_record {
constexpr std::size_t kMasterKeyOffset = 0;
constexpr std::size_t kPasswordOffset = 32;
constexpr std::size_t kMasterKeyCrcOffset = 64;
constexpr std::size_t kPasswordCrcOffset = 68;
constexpr std::size_t kQuestionOffset = 72;
static_assert(kQuestionOffset + kMaxQuestionLength == kPasswordRecordSize);
}  // namespace password_record

using PasswordRecord = std::array<std::uint8_t, kPasswordRecordSize>;

// The fixed key string that encrypts the question (17 ASCII characters).
extern const std::string_view kQuestionKey;

// Fills `record` with a new record for a new random master key.
// Throws kivo::Exception, before writing anything, with
// "Password length should be shorter then 32" when `password` has more than 32
// bytes, and "Question length should be shorter then 100" when `question`
// has more than 100. Question and answer are stored only when both are given.
// The master key is not returned: call CheckPassword with the same password
// to get the page key string.
void CreatePasswordRecord(std::span<std::uint8_t, kPasswordRecordSize> record,
                          std::string_view password, std::string_view question = {},
                          std::string_view answer = {});

// Decrypts the master key with `password`; sets `keyString` to the 33-byte
// page key string and returns whether the key's CRC-16 matches the record.
// An empty password returns false and leaves `keyString` untouched.
bool CheckPassword(std::span<const std::uint8_t, kPasswordRecordSize> record,
                   std::string_view password, std::string& keyString);

// Fills `buffer` with `size` unpredictable bytes from the operating system's
// random source (getrandom, else /dev/urandom). Throws kivo::Exception when
// no source can deliver them.
void MakeMasterKey(void* buffer, std::size_t size);

}  // namespace kivo
