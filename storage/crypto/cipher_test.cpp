// Known answers and round trips for AES-256 in feedback-XOR mode.
#include "storage/crypto/cipher.h"

#include <cryptopp/aes.h>
#include <cryptopp/cpu.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "storage/crypto/hash.h"

namespace kivo {
namespace {

std::vector<std::uint8_t> FromHex(std::string_view hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(
        static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return bytes;
}

std::string ToHex(const std::uint8_t* p, std::size_t n) {
  std::string s;
  char buf[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", p[i]);
    s += buf;
  }
  return s;
}
std::string ToHex(const std::vector<std::uint8_t>& v) { return ToHex(v.data(), v.size()); }

std::vector<std::uint8_t> Encode(std::string_view key, std::vector<std::uint8_t> data) {
  TCipher_Rijndael(key).EncodeBuffer(data.data(), data.data(), data.size());
  return data;
}

std::vector<std::uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

// The mode written out block by block over the library's AES, as the
// independent reference for the chunked implementation.
std::vector<std::uint8_t> ReferenceMode(std::string_view key, const std::vector<std::uint8_t>& in,
                                        bool encrypt) {
  const auto k = THash_RipeMD256::Digest(key.data(), key.size());
  CryptoPP::AES::Encryption e(k.data(), k.size());
  CryptoPP::AES::Decryption d(k.data(), k.size());
  std::uint8_t f[16] = {}, t[16];
  e.ProcessBlock(f);  // F := E(0)
  std::vector<std::uint8_t> out(in.size());
  std::size_t i = 0;
  for (; i + 16 <= in.size(); i += 16) {
    if (encrypt) {
      for (int j = 0; j < 16; ++j) t[j] = in[i + j] ^ f[j];
      e.ProcessBlock(t, &out[i]);
      for (int j = 0; j < 16; ++j) f[j] ^= out[i + j];
    } else {
      d.ProcessBlock(&in[i], t);
      for (int j = 0; j < 16; ++j) {
        out[i + j] = t[j] ^ f[j];
        f[j] ^= in[i + j];
      }
    }
  }
  if (i < in.size()) {
    e.ProcessBlock(f, t);
    for (std::size_t j = 0; i + j < in.size(); ++j) out[i + j] = in[i + j] ^ t[j];
  }
  return out;
}

TEST(Aes256Block, Fips197AppendixC3AndAesInstructions) {
  const auto key = FromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  const auto plain = FromHex("00112233445566778899aabbccddeeff");
  CryptoPP::AES::Encryption e(key.data(), key.size());
  CryptoPP::AES::Decryption d(key.data(), key.size());
  std::uint8_t block[16];
  e.ProcessBlock(plain.data(), block);
  EXPECT_EQ(ToHex(block, 16), "8ea2b7ca516745bfeafc49904b496089");
  d.ProcessBlock(block);
  EXPECT_EQ(ToHex(block, 16), ToHex(plain));

  // The cipher uses the same block class; when the processor has AES
  // instructions that class must be using them.
  const std::string provider = TCipher_Rijndael::BlockProvider();
  std::printf("AES instructions available: %s; AES block provider: %s\n",
              CryptoPP::HasAESNI() ? "yes" : "no", provider.c_str());
  if (CryptoPP::HasAESNI()) {
    EXPECT_EQ(provider, "AESNI");
  }
}

TEST(FeedbackXorMode, KnownAnswersForKeySecret) {
  EXPECT_EQ(ToHex(THash_RipeMD256::Digest("secret", 6).data(), 32),
            "ad309e34c5b1b46e332721a353831de4a2a406f72c8f849d37b930b7e3fbb02d");
  EXPECT_EQ(ToHex(Encode("secret", std::vector<std::uint8_t>(16, 0))),
            "c64eb2a76016d5cd7e061af8a34a67d2");
  EXPECT_EQ(ToHex(Encode("secret", Bytes("0123456789abcdefghij"))),
            "71e585d4500f230421c4bca0756d368ca25481f3");
  EXPECT_EQ(ToHex(Encode("secret", Bytes("01234"))), "f67f809454");
}

TEST(FeedbackXorMode, EdgeCasesOfTheMode) {
  const auto k = THash_RipeMD256::Digest("k", 1);
  CryptoPP::AES::Encryption e(k.data(), k.size());
  std::uint8_t e0[16] = {}, ee0[16];
  e.ProcessBlock(e0);       // E(0)
  e.ProcessBlock(e0, ee0);  // E(E(0))

  // Zero bytes: nothing changes (and nothing is read or written).
  TCipher_Rijndael cipher("k");
  cipher.EncodeBuffer(nullptr, nullptr, 0);
  cipher.DecodeBuffer(nullptr, nullptr, 0);

  // 16 zero bytes encrypt to E(E(0)).
  EXPECT_EQ(ToHex(Encode("k", std::vector<std::uint8_t>(16, 0))), ToHex(ee0, 16));

  // 20 bytes: C1 = E(P1 xor E(0)); the last 4 bytes are XORed with
  // E(E(0) xor C1).
  std::vector<std::uint8_t> p(20);
  for (int i = 0; i < 20; ++i) p[i] = static_cast<std::uint8_t>(7 * i + 1);
  std::uint8_t c1[16], f[16], s[16];
  for (int i = 0; i < 16; ++i) f[i] = p[i] ^ e0[i];
  e.ProcessBlock(f, c1);
  for (int i = 0; i < 16; ++i) f[i] = e0[i] ^ c1[i];
  e.ProcessBlock(f, s);
  std::vector<std::uint8_t> expected(c1, c1 + 16);
  for (int i = 0; i < 4; ++i) expected.push_back(p[16 + i] ^ s[i]);
  const auto c = Encode("k", p);
  EXPECT_EQ(ToHex(c), ToHex(expected));
  std::vector<std::uint8_t> back = c;
  cipher.DecodeBuffer(back.data(), back.data(), back.size());
  EXPECT_EQ(back, p);

  // No per-buffer state: the same object and a second object agree.
  EXPECT_EQ(Encode("k", p), c);
  std::vector<std::uint8_t> again = p;
  cipher.EncodeBuffer(again.data(), again.data(), again.size());
  cipher.EncodeBuffer(p.data(), again.data(), p.size());
  EXPECT_EQ(again, c);

  // A partial block encrypts and decrypts the same way.
  std::vector<std::uint8_t> five = Bytes("abcde"), five2 = five;
  cipher.EncodeBuffer(five.data(), five.data(), 5);
  cipher.DecodeBuffer(five2.data(), five2.data(), 5);
  EXPECT_EQ(five, five2);
}

TEST(FeedbackXorMode, KeyStringIsHashedAsRawBytes) {
  // A page key string carries a trailing zero byte; it must change the key.
  const std::string master(32, '\x5a');
  std::string page = master;
  page.push_back('\0');
  const std::vector<std::uint8_t> zeros(32, 0);
  EXPECT_NE(Encode(master, zeros), Encode(page, zeros));
  EXPECT_EQ(Encode(page, zeros), ReferenceMode(page, zeros, true));
}

TEST(FeedbackXorMode, MatchesReferenceAndRoundTripsForRandomLengths) {
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<std::size_t> lengths = {
      1, 15, 16, 17, 31, 32, 33, 4095, 4096, 4097, 4096 + 15, 8192, 3 * 4096 + 16 + 7, 65536};
  std::uniform_int_distribution<std::size_t> len(0, 20000);
  for (int i = 0; i < 150; ++i) lengths.push_back(len(rng));
  for (std::size_t n : lengths) {
    SCOPED_TRACE("length " + std::to_string(n));
    std::string key(1 + n % 40, '\0');
    for (auto& ch : key) ch = static_cast<char>(byte(rng));
    std::vector<std::uint8_t> plain(n);
    for (auto& b : plain) b = static_cast<std::uint8_t>(byte(rng));
    TCipher_Rijndael cipher(key);

    // Out of place.
    std::vector<std::uint8_t> enc(n), dec(n);
    cipher.EncodeBuffer(plain.data(), enc.data(), n);
    ASSERT_EQ(enc, ReferenceMode(key, plain, true));
    if (n >= 16) {
      EXPECT_NE(enc, plain);
    }
    cipher.DecodeBuffer(enc.data(), dec.data(), n);
    ASSERT_EQ(dec, plain);
    // Decryption of arbitrary bytes follows the written mode too.
    ASSERT_EQ(dec, ReferenceMode(key, enc, false));

    // In place.
    std::vector<std::uint8_t> buf = plain;
    cipher.EncodeBuffer(buf.data(), buf.data(), n);
    ASSERT_EQ(buf, enc);
    cipher.DecodeBuffer(buf.data(), buf.data(), n);
    ASSERT_EQ(buf, plain);
  }
}

TEST(FeedbackXorMode, WrongKeyDoesNotDecrypt) {
  const auto plain = Bytes("a page of table data, forty-two bytes long");
  auto enc = Encode("right", plain);
  TCipher_Rijndael("wrong").DecodeBuffer(enc.data(), enc.data(), enc.size());
  EXPECT_NE(enc, plain);
}

TEST(FeedbackXorMode, EmptyKeyStringLeavesCipherUninitialised) {
  TCipher_Rijndael cipher("");
  EXPECT_FALSE(cipher.Initialized());
  EXPECT_TRUE(TCipher_Rijndael("x").Initialized());
  std::uint8_t buf[20] = {1, 2, 3};
  for (std::size_t size : {std::size_t{0}, std::size_t{20}}) {
    try {
      cipher.EncodeBuffer(buf, buf, size);
      ADD_FAILURE() << "EncodeBuffer on an uninitialised cipher did not throw";
    } catch (const ECipherException& e) {
      EXPECT_STREQ(e.what(),
                   "TCipher_Rijndael is not initialized call Init() or InitKey() before.");
      EXPECT_EQ(e.ErrorCode(), 3);
      EXPECT_STREQ(e.ClassName(), "ECipherException");
    }
    EXPECT_THROW(cipher.DecodeBuffer(buf, buf, size), ECipherException);
  }
  EXPECT_EQ(buf[0], 1);
  EXPECT_EQ(buf[2], 3);
}

}  // namespace
}  // namespace kivo
