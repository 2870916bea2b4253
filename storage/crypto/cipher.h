// The engine's one symmetric cipher: AES-256 in the engine's own
// length-preserving feedback-XOR mode, keyed by a RIPEMD-256 digest of a key
// string.
//
// Key derivation: key = RIPEMD-256(all bytes of the key string). The key
// string is taken as raw bytes, embedded zeros included (a page key string is
// the 32 master-key bytes followed by one zero byte).
//
// Feedback-XOR mode, with E/D the AES-256 block functions and F a 16-byte
// register:
//   1. F := E(16 zero bytes) at the start of every buffer.
//   2. Encrypt a full block P:  C := E(P xor F);  F := F xor C.
//   3. Decrypt a full block C:  P := D(C) xor F;  F := F xor C.
//   4. A trailing partial block of n bytes (1..15), either direction:
//      S := E(F); out := in xor S[0..n); F := F xor S.
// The output has exactly as many bytes as the input; there is no nonce, so
// equal plaintexts under equal key strings give equal ciphertexts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/errors.h"

namespace kivo {

// A failure of the cipher collection. Code 3 is "used without a key".
class ECipherException : public Exception {
 public:
  static constexpr int kNotInitialized = 3;

  ECipherException(std::string message, int errorCode)
      : Exception(std::move(message)), error_code_(errorCode) {}
  const char* ClassName() const noexcept override { return "ECipherException"; }
  int ErrorCode() const noexcept { return error_code_; }

 private:
  int error_code_;
};

// A buffer cipher made from a key string.
class TCipher {
 public:
  virtual ~TCipher() = default;

  virtual const char* ClassName() const noexcept = 0;
  // Bytes per block of the underlying block function, and of the derived key.
  virtual std::size_t BlockSize() const noexcept = 0;
  virtual std::size_t KeySize() const noexcept = 0;
  // False when the object was made from an empty key string.
  virtual bool Initialized() const noexcept = 0;

  // Encrypts / decrypts `size` bytes from `source` into `dest`. Every call
  // starts from the initial feedback register, so one object may serve any
  // number of buffers and gives the same result as a freshly keyed object.
  // REQUIRES: source == dest, or the two ranges do not overlap.
  // Throws ECipherException (code 3) when not initialised, even for size 0.
  virtual void EncodeBuffer(const void* source, void* dest, std::size_t size) const = 0;
  virtual void DecodeBuffer(const void* source, void* dest, std::size_t size) const = 0;
};

// AES-256 (16-byte block, 32-byte key) in feedback-XOR mode. The block
// function uses the processor's AES instructions when it has them.
class TCipher_Rijndael final : public TCipher {
 public:
  static constexpr std::size_t kBlockSize = 16;
  static constexpr std::size_t kKeySize = 32;

  // Derives the key from `keyString`. An empty key string leaves the object
  // uninitialised: every EncodeBuffer/DecodeBuffer then raises
  // "TCipher_Rijndael is not initialized call Init() or InitKey() before.".
  explicit TCipher_Rijndael(std::string_view keyString);
  ~TCipher_Rijndael() override;
  TCipher_Rijndael(const TCipher_Rijndael&) = delete;
  TCipher_Rijndael& operator=(const TCipher_Rijndael&) = delete;

  const char* ClassName() const noexcept override { return "TCipher_Rijndael"; }
  std::size_t BlockSize() const noexcept override { return kBlockSize; }
  std::size_t KeySize() const noexcept override { return kKeySize; }
  bool Initialized() const noexcept override { return impl_ != nullptr; }

  void EncodeBuffer(const void* source, void* dest, std::size_t size) const override;
  void DecodeBuffer(const void* source, void* dest, std::size_t size) const override;

  // Which implementation of the AES block function is in use ("AESNI" when
  // the processor's AES instructions are used, else e.g. "C++").
  static std::string BlockProvider();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Convenience for one-off buffers: a fresh cipher from `keyString`, in place.
void EncryptInPlace(std::string_view keyString, void* buffer, std::size_t size);
void DecryptInPlace(std::string_view keyString, void* buffer, std::size_t size);

}  // namespace kivo
