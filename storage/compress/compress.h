// Compression of BLOB values and of the BLOB index image: one pair of buffer
// functions that select the algorithm by a compression level.
//
//   level 1 (clFastest)  zlib stream (header and Adler-32 trailer), deflate level 1
//   level 2 (clDefault)  PPMd variant G, order 5, 20 MB model, 819200-byte blocks
//   level 3 (clMax)      PPMd variant G, order 16, 50 MB model, 1638400-byte blocks
//
// The level and the exact uncompressed size are not kept inside the
// compressed data: the caller records both and passes them back to
// krDecompressBuffer.
//
// Both functions are re-entrant: every PPMd call allocates its own model
// memory and frees it before returning, so calls may run on several threads.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/errors.h"

namespace kivo {

// One byte in stored table properties; never renumber.
enum TCompressionLevel : std::uint8_t {
  clNone = 0,     // no compression: callers store data unchanged and do not call below
  clFastest = 1,  // zlib
  clDefault = 2,  // PPMd variant G, order 5, 20 MB
  clMax = 3,      // PPMd variant G, order 16, 50 MB
};

// Errors of the zlib calls. They are raised and caught inside the buffer
// functions (which report a false result); callers never see them.
class EZlibError : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const noexcept override { return "EZlibError"; }
};
class ECompressionError : public EZlibError {
 public:
  using EZlibError::EZlibError;
  const char* ClassName() const noexcept override { return "ECompressionError"; }
};
class EDecompressionError : public EZlibError {
 public:
  using EZlibError::EZlibError;
  const char* ClassName() const noexcept override { return "EDecompressionError"; }
};

// Compresses inSize bytes at inBuf with the given level (clFastest, clDefault
// or clMax). On success returns true, outBuf holds exactly the compressed
// bytes and outSize == outBuf.size(). On any failure returns false (outBuf
// and outSize are then not meaningful).
//
// inBuf == nullptr raises Exception "krCompressBuffer - inBuf = nil".
// An empty input gives a (short) zlib stream at level 1 and false at levels
// 2 and 3; as an expected size of 0 is refused on decompression, callers
// store empty values without compressing them.
bool krCompressBuffer(const void* inBuf, std::uint32_t inSize, std::vector<std::uint8_t>& outBuf,
                      TCompressionLevel level, std::uint32_t& outSize);

// Decompresses inSize bytes at inBuf that were compressed with `level`. On
// entry outSize holds the expected uncompressed size (0 gives false at
// once). On success returns true, outBuf holds the produced bytes and
// outSize == outBuf.size().
//
// Level 1 grows its output past the expected size when the stream holds
// more. Levels 2 and 3 never produce more than the expected size: input that
// would decode past it fails. Damaged or truncated input, a wrong level and
// a null inBuf give false.
bool krDecompressBuffer(const void* inBuf, std::uint32_t inSize, std::vector<std::uint8_t>& outBuf,
                        TCompressionLevel level, std::uint32_t& outSize);

}  // namespace kivo
