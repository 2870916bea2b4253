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
  throw ECipherException(
      FormatMessage("%s is not initialized call Init() or InitKey() before.", {std::string(className)}),
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
  // The register depends only on ciphertext, so D(C) of a whole chunk can be
  // computed at once and the register applied afterwards. In place, the
  // chunk's ciphertext is saved first because the register needs it.
  alignas(16) std::uint8_t saved[kDecodeChunk];
  while (size >= kBlock) {
    const std::size_t chunk = std::min(size - size % kBlock, kDecodeChunk);
    const std::uint8_t* cipher = in;
    if (in == out) {
      std::memcpy(saved, in, chunk);
      cipher = saved;
    }
    impl_->dec.AdvancedProcessBlocks(cipher, nullptr, out, chunk,
                                     CryptoPP::BlockTransformation::BT_AllowParallel);
    for (std::size_t i = 0; i < chunk; i += kBlock) {
      XorBlock(out + i, out + i, feedback);        // P := D(C) xor F
      XorBlock(feedback, feedback, cipher + i);    // F := F xor C
    }
    in += chunk;
    out += chunk;
    size -= chunk;
  }
  if (size > 0) impl_->PartialBlock(feedback, in, out, size);
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
