// The bare cipher and checksums, against the standard CBC mode over the same
// AES block function (and zlib's CRC-32 for the checksums).
//
// CBC encryption is serial like our feedback-XOR encryption, and CBC
// decryption is parallel like ours, so the ratio shows what our mode costs
// over the block function itself. Work: 64 MiB per iteration unless
// KARTOVA_BENCH_MIB says otherwise.
#include <benchmark/benchmark.h>
#include <cryptopp/aes.h>
#include <cryptopp/modes.h>
#include <zlib.h>

#include <string>

#include "bench/bench_support.h"
#include "storage/crypto/cipher.h"
#include "storage/crypto/hash.h"

namespace kivo {
namespace {

constexpr std::size_t kDefaultMiB = 64;
const std::string kKeyString = "benchmark key string";

const bool kContext = [] {
  benchmark::AddCustomContext("aes_block_provider", TCipher_Rijndael::BlockProvider());
  return true;
}();

std::array<std::uint8_t, 32> ReferenceKey() {
  return THash_RipeMD256::Digest(kKeyString.data(), kKeyString.size());
}

// One 64 MiB buffer, encrypted (or decrypted) in place by one cipher object
// against CBC over the same bytes.
template <bool kEncode>
void BufferInPlace(benchmark::State& state) {
  using Reference = std::conditional_t<kEncode, CryptoPP::CBC_Mode<CryptoPP::AES>::Encryption,
                                       CryptoPP::CBC_Mode<CryptoPP::AES>::Decryption>;
  const std::size_t size = bench::WorkBytes(kDefaultMiB);
  auto ours = bench::PatternBytes(size), ref = ours;
  const TCipher_Rijndael cipher(kKeyString);
  const auto key = ReferenceKey();
  const std::uint8_t iv[16] = {};
  Reference cbc;
  bench::SideBySide run(state);
  for (auto _ : state) {
    run.Ours([&] {
      if constexpr (kEncode)
        cipher.EncodeBuffer(ours.data(), ours.data(), size);
      else
        cipher.DecodeBuffer(ours.data(), ours.data(), size);
    });
    run.Reference([&] {
      cbc.SetKeyWithIV(key.data(), key.size(), iv);
      cbc.ProcessData(ref.data(), ref.data(), size);
    });
    benchmark::DoNotOptimize(ours.data());
    benchmark::DoNotOptimize(ref.data());
  }
  run.Finish(size);
}

void BM_EncodeBuffer(benchmark::State& state) { BufferInPlace<true>(state); }
BENCHMARK(BM_EncodeBuffer)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_DecodeBuffer(benchmark::State& state) { BufferInPlace<false>(state); }
BENCHMARK(BM_DecodeBuffer)->UseManualTime()->Unit(benchmark::kMillisecond);

// 64 MiB as pages of range(0) bytes, each encrypted by a freshly keyed
// object (key string hashed, key schedule expanded per page) against CBC
// re-keyed per page.
void BM_EncodePagesFreshKey(benchmark::State& state) {
  const std::size_t page = static_cast<std::size_t>(state.range(0));
  const std::size_t size = bench::WorkBytes(kDefaultMiB) / page * page;
  auto ours = bench::PatternBytes(size), ref = ours;
  const std::uint8_t iv[16] = {};
  CryptoPP::CBC_Mode<CryptoPP::AES>::Encryption cbc;
  bench::SideBySide run(state);
  for (auto _ : state) {
    run.Ours([&] {
      for (std::size_t at = 0; at < size; at += page) EncryptInPlace(kKeyString, &ours[at], page);
    });
    run.Reference([&] {
      for (std::size_t at = 0; at < size; at += page) {
        const auto key = ReferenceKey();
        cbc.SetKeyWithIV(key.data(), key.size(), iv);
        cbc.ProcessData(&ref[at], &ref[at], page);
      }
    });
    benchmark::DoNotOptimize(ours.data());
    benchmark::DoNotOptimize(ref.data());
  }
  run.Finish(size);
}
BENCHMARK(BM_EncodePagesFreshKey)
    ->Arg(4096)
    ->Arg(8192)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The page checksums over 64 MiB against zlib's CRC-32.
void BM_Crc16Arc(benchmark::State& state) {
  const std::size_t size = bench::WorkBytes(kDefaultMiB);
  const auto data = bench::PatternBytes(size);
  bench::SideBySide run(state);
  for (auto _ : state) {
    run.Ours([&] { benchmark::DoNotOptimize(CRC16ARC(0, data.data(), size)); });
    run.Reference([&] { benchmark::DoNotOptimize(THash_CRC32::Value(data.data(), size)); });
  }
  run.Finish(size);
}
BENCHMARK(BM_Crc16Arc)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_Xor32Checksum(benchmark::State& state) {
  const std::size_t size = bench::WorkBytes(kDefaultMiB);
  const auto data = bench::PatternBytes(size);
  bench::SideBySide run(state);
  for (auto _ : state) {
    run.Ours([&] { benchmark::DoNotOptimize(XOR32Checksum(data.data(), size)); });
    run.Reference([&] { benchmark::DoNotOptimize(THash_CRC32::Value(data.data(), size)); });
  }
  run.Finish(size);
}
BENCHMARK(BM_Xor32Checksum)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kivo
