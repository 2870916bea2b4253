// AES-256 in feedback-XOR mode; see cipher.h for the mode.
#include "storage/crypto/cipher.h"

#include <cryptopp/aes.h>
#include <cryptopp/misc.h>

#include <algorithm>
#include <cstring>

#include "storage/crypto/hash.h"

namespace kivo {
namespace {

constexpr std::size_t kBlock = TCipher_Rijndael::kBlockSize;
// Decryption runs the block function over this many bytes at a time, so that
// the processor can pipeline independent blocks.
constexpr std::size_t kDecodeChunk = 4096;
static_assert(kDecodeChunk % kBlock == 0);

// dst := a xor b over one block (any of the three may alias).
inline void XorBlock(std::uint8_t* dst, const std::uint8_t* a, const std::uint8_t* b) {
  std::uint64_t a0, a1, b0, b1;
  std::memcpy(&a0, a, 8);
  std::memcpy(&a1, a + 8, 8);
  std::memcpy(&b0, b, 8);
  std::memcpy(&b1, b + 8, 8);
  a0 ^= b0;
  a1 ^= b1;
  std::memcpy(dst, &a0, 8);
  std::memcpy(dst + 8, &a1, 8);
}

}  // namespace

struct TCipher_Rijndael::Impl {
  CryptoPP::AES::Encryption enc;
  CryptoPP::AES::Decryption dec;
  // E(16 zero bytes): the feedback register every buffer starts from.
  std::uint8_t initial[kBlock] = {};

  explicit Impl(std::string_view keyString) {
    auto key = THash_RipeMD256::Digest(keyString.data(), keyString.size());
    enc.SetKey(key.data(), key.size());
    dec.SetKey(key.data(), key.size());
    CryptoPP::SecureWipeArray(key.data(), key.size());
    const std::uint8_t zero[kBlock] = {};
    enc.ProcessBlock(zero, initial);
  }
  ~Impl() { CryptoPP::SecureWipeArray(initial, kBlock); }

  // The trailing partial block: out := in xor E(F), for n < 16 bytes.
  void PartialBlock(const std::uint8_t* feedback, const std::uint8_t* in, std::uint8_t* out,
                    std::size_t n) const {
    std::uint8_t stream[kBlock];
    enc.ProcessBlock(feedback, stream);
    for (std::size_t i = 0; i < n; ++i) out[i] = in[i] ^ stream[i];
    CryptoPP::SecureWipeArray(stream, kBlock);
  }
};

TCipher_Rijndael::TCipher_Rijndael(std::string_view keyString) {
  if (!keyString.empty()) impl_ = std::make_unique<Impl>(keyString);
}

TCipher_Rijndael::~TCipher_Rijndael() = default;

static void ThrowNotInitialized(const char* className) {
  throw ECipherException(FormatMessage("%s is not initialized call Init() or InitKey() before.",
                                       {std::string(className)}),
                         ECipherException::kNotInitialized);
}

void TCipher_Rijndael::EncodeBuffer(const void* source, void* dest, std::size_t size) const {
  if (!impl_) ThrowNotInitialized(ClassName());
  const auto* in = static_cast<const std::uint8_t*>(source);
  auto* out = static_cast<std::uint8_t*>(dest);
  std::uint8_t feedback[kBlock];
  std::memcpy(feedback, impl_->initial, kBlock);
  std::uint8_t block[kBlock];
  // Each block depends on the previous ciphertext, so encryption is serial.
  for (; size >= kBlock; size -= kBlock, in += kBlock, out += kBlock) {
    XorBlock(block, in, feedback);        // reads `in` before `out` is written
    impl_->enc.ProcessBlock(block, out);  // C := E(P xor F)
    XorBlock(feedback, feedback, out);    // F := F xor C
  }
  if (size > 0) impl_->PartialBlock(feedback, in, out, size);
  CryptoPP::SecureWipeArray(block, kBlock);
  CryptoPP::SecureWipeArray(feedback, kBlock);
}

void TCipher_Rijndael::DecodeBuffer(const void* source, void* dest, std::size_t size) const {
  if (!impl_) ThrowNotInitialized(ClassName());
  const auto* in = static_cast<const std::uint8_t*>(source);
  auto* out = static_cast<std::uint8_t*>(dest);
  std::uint8_t feedback[kBlock];
  std::memcpy(feedback, impl_->initial, kBlock);
  // The register depends only on ciphertext, so the registers of a whole
  // chunk are worked out first (before an in-place decode overwrites the
  // ciphertext); then the block function decrypts the chunk in one call and
  // XORs each block with its register, pipelining independent blocks.
  alignas(16) std::uint8_t registers[kDecodeChunk];
  while (size >= kBlock) {
    const std::size_t chunk = std::min(size - size % kBlock, kDecodeChunk);
    // The register lives in two words here, not in memory, so that the
    // chain of XORs does not wait on store forwarding.
    std::uint64_t f0, f1, c0, c1;
    std::memcpy(&f0, feedback, 8);
    std::memcpy(&f1, feedback + 8, 8);
    for (std::size_t i = 0; i < chunk; i += kBlock) {
      std::memcpy(registers + i, &f0, 8);
      std::memcpy(registers + i + 8, &f1, 8);
      std::memcpy(&c0, in + i, 8);
      std::memcpy(&c1, in + i + 8, 8);
      f0 ^= c0;  // F := F xor C
      f1 ^= c1;
    }
    std::memcpy(feedback, &f0, 8);
    std::memcpy(feedback + 8, &f1, 8);
    // P := D(C) xor F
    impl_->dec.AdvancedProcessBlocks(in, registers, out, chunk,
                                     CryptoPP::BlockTransformation::BT_AllowParallel);
    in += chunk;
    out += chunk;
    size -= chunk;
  }
  if (size > 0) impl_->PartialBlock(feedback, in, out, size);
  CryptoPP::SecureWipeArray(registers, sizeof registers);
  CryptoPP::SecureWipeArray(feedback, kBlock);
}

std::string TCipher_Rijndael::BlockProvider() {
  CryptoPP::AES::Encryption probe;
  return probe.AlgorithmProvider();
}

void EncryptInPlace(std::string_view keyString, void* buffer, std::size_t size) {
  TCipher_Rijndael(keyString).EncodeBuffer(buffer, buffer, size);
}

void DecryptInPlace(std::string_view keyString, void* buffer, std::size_t size) {
  TCipher_Rijndael(keyString).DecodeBuffer(buffer, buffer, size);
}

}  // namespace kivo
