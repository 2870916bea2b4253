// The password record: layout, password checks, limits and damaged records.
#include "storage/crypto/password.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>

#include "platform/little_endian.h"
#include "storage/crypto/cipher.h"
#include "storage/crypto/hash.h"

namespace kivo {
namespace {

using namespace password_record;

// A record built by hand from a known master key.
PasswordRecord HandMadeRecord(std::string_view password, const std::uint8_t (&master)[32]) {
  PasswordRecord r{};
  std::memcpy(r.data(), master, 32);
  const std::uint16_t crc = CRC16ARC(0, master, 32);
  r[64] = static_cast<std::uint8_t>(crc);
  r[65] = static_cast<std::uint8_t>(crc >> 8);
  EncryptInPlace(password, r.data(), 32);
  return r;
}

TEST(PasswordRecordCheck, HandMadeRecordRightAndWrongPasswords) {
  std::uint8_t master[32];
  for (int i = 0; i < 32; ++i) master[i] = static_cast<std::uint8_t>(i * 13 + 5);
  const PasswordRecord r = HandMadeRecord("open sesame", master);

  std::string key = "untouched";
  EXPECT_TRUE(CheckPassword(r, "open sesame", key));
  ASSERT_EQ(key.size(), kPageKeyStringSize);
  EXPECT_EQ(std::memcmp(key.data(), master, 32), 0);
  EXPECT_EQ(key[32], '\0');

  EXPECT_FALSE(CheckPassword(r, "open sesamE", key));
  EXPECT_FALSE(CheckPassword(r, "open sesame ", key));
  // A wrong password still yields (wrong) key bytes.
  EXPECT_EQ(key.size(), kPageKeyStringSize);
  EXPECT_NE(std::memcmp(key.data(), master, 32), 0);

  key = "untouched";
  EXPECT_FALSE(CheckPassword(r, "", key));
  EXPECT_EQ(key, "untouched");
}

TEST(PasswordRecordCreate, LayoutWithoutQuestion) {
  PasswordRecord r;
  r.fill(0xEE);
  CreatePasswordRecord(r, "pw");

  std::uint8_t master[32];
  std::memcpy(master, r.data(), 32);
  DecryptInPlace("pw", master, 32);
  EXPECT_EQ(LoadLE<std::uint32_t>(&r[kMasterKeyCrcOffset]), CRC16ARC(0, master, 32));
  for (std::size_t i = kPasswordOffset; i < kPasswordRecordSize; ++i) {
    if (i >= kMasterKeyCrcOffset && i < kMasterKeyCrcOffset + 2) continue;
    ASSERT_EQ(r[i], 0) << "offset " << i;
  }

  std::string key;
  ASSERT_TRUE(CheckPassword(r, "pw", key));
  EXPECT_EQ(key, std::string(reinterpret_cast<char*>(master), 32) + std::string(1, '\0'));

  // The key string opens what the master key would encrypt.
  std::uint8_t page[100] = {42};
  EncryptInPlace(key, page, sizeof page);
  DecryptInPlace(key, page, sizeof page);
  EXPECT_EQ(page[0], 42);

  // Every record gets a new master key.
  PasswordRecord r2;
  CreatePasswordRecord(r2, "pw");
  std::string key2;
  ASSERT_TRUE(CheckPassword(r2, "pw", key2));
  EXPECT_NE(key, key2);
}

TEST(PasswordRecordCreate, LayoutWithQuestionAndAnswer) {
  PasswordRecord r;
  CreatePasswordRecord(r, "my password", "Name of the first cat?", "Mirci");

  std::uint8_t question[100];
  std::memcpy(question, &r[kQuestionOffset], 100);
  DecryptInPlace(kQuestionKey, question, 100);
  std::uint8_t expected_q[100] = {};
  std::memcpy(expected_q, "Name of the first cat?", 22);
  EXPECT_EQ(std::memcmp(question, expected_q, 100), 0);

  std::uint8_t pw[32];
  std::memcpy(pw, &r[kPasswordOffset], 32);
  DecryptInPlace("Mirci", pw, 32);
  std::uint8_t expected_pw[32] = {};
  std::memcpy(expected_pw, "my password", 11);
  EXPECT_EQ(std::memcmp(pw, expected_pw, 32), 0);
  EXPECT_EQ(LoadLE<std::uint32_t>(&r[kPasswordCrcOffset]), CRC16ARC(0, expected_pw, 32));

  std::string key;
  EXPECT_TRUE(CheckPassword(r, "my password", key));
  EXPECT_EQ(kQuestionKey.size(), 17u);
}

TEST(PasswordRecordCreate, QuestionWithoutAnswerIsNotStored) {
  for (auto [q, a] : {std::pair{"question", ""}, std::pair{"", "answer"}}) {
    PasswordRecord r;
    CreatePasswordRecord(r, "pw", q, a);
    for (std::size_t i = kPasswordOffset; i < kMasterKeyCrcOffset; ++i) ASSERT_EQ(r[i], 0);
    for (std::size_t i = kPasswordCrcOffset; i < kPasswordRecordSize; ++i) ASSERT_EQ(r[i], 0);
  }
}

TEST(PasswordRecordCreate, LengthLimits) {
  PasswordRecord r;
  const std::string pw32(32, 'p'), q100(100, 'q');
  CreatePasswordRecord(r, pw32, q100, "a");
  std::string key;
  EXPECT_TRUE(CheckPassword(r, pw32, key));

  r.fill(0xEE);
  const PasswordRecord before = r;
  try {
    CreatePasswordRecord(r, std::string(33, 'p'));
    ADD_FAILURE() << "33-character password accepted";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Password length should be shorter then 32");
  }
  try {
    CreatePasswordRecord(r, "pw", std::string(101, 'q'), "a");
    ADD_FAILURE() << "101-character question accepted";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Question length should be shorter then 100");
  }
  // An empty password cannot key the cipher: no record is made.
  EXPECT_THROW(CreatePasswordRecord(r, ""), ECipherException);
  EXPECT_EQ(r, before);
}

TEST(PasswordRecordCheck, WrongPasswordsRarelyPass) {
  PasswordRecord r;
  CreatePasswordRecord(r, "correct horse");
  std::string key;
  // A wrong password passes the 16-bit check with probability 1/65536.
  int accepted = 0;
  for (int i = 0; i < 50; ++i) accepted += CheckPassword(r, "wrong " + std::to_string(i), key);
  EXPECT_LE(accepted, 1);
  EXPECT_TRUE(CheckPassword(r, "correct horse", key));
}

TEST(PasswordRecordCheck, DamagedRecordsNeverCrash) {
  std::uint8_t master[32];
  for (int i = 0; i < 32; ++i) master[i] = static_cast<std::uint8_t>(255 - i);
  const PasswordRecord good = HandMadeRecord("pw", master);
  std::string good_key;
  ASSERT_TRUE(CheckPassword(good, "pw", good_key));

  std::mt19937 rng(4242);
  int key_area_damaged = 0, key_area_accepted = 0;
  for (int round = 0; round < 5000; ++round) {
    PasswordRecord r = good;
    const int flips = 1 + static_cast<int>(rng() % 8);
    for (int f = 0; f < flips; ++f)
      r[rng() % kPasswordRecordSize] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    if (r == good) continue;
    const bool key_area = std::memcmp(r.data(), good.data(), 32) != 0 ||
                          std::memcmp(&r[kMasterKeyCrcOffset], &good[kMasterKeyCrcOffset], 4) != 0;
    std::string key;
    const bool ok = CheckPassword(r, "pw", key);
    ASSERT_EQ(key.size(), kPageKeyStringSize);
    if (key_area) {
      ++key_area_damaged;
      key_area_accepted += ok;
    } else {
      // Bytes outside the key and its CRC take no part in the check.
      ASSERT_TRUE(ok);
      ASSERT_EQ(key, good_key);
    }
  }
  EXPECT_GT(key_area_damaged, 1000);
  EXPECT_LE(key_area_accepted, 2);
}

TEST(MasterKey, UnpredictableBytes) {
  std::set<std::string> keys;
  for (int i = 0; i < 16; ++i) {
    std::string k(kMasterKeySize, '\0');
    MakeMasterKey(k.data(), k.size());
    keys.insert(k);
  }
  EXPECT_EQ(keys.size(), 16u);
  MakeMasterKey(nullptr, 0);
  // Larger than one getrandom() call may deliver.
  std::string big(40 << 20, '\0');
  MakeMasterKey(big.data(), big.size());
  EXPECT_NE(big.find_first_not_of('\0', big.size() - 64), std::string::npos);
}

}  // namespace
}  // namespace kivo
