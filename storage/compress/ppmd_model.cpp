// PPMd variant G.
//
// The model lives in one arena of 12-byte units addressed by 32-bit byte
// offsets (0 means "none"), so its layout and its memory accounting are the
// same on every platform: a context takes one unit, a symbol state half a
// unit, and the model restarts at exactly the same points wherever it runs.
//
//   context (12 bytes)          state (6 bytes)
//     +0  u16 number of states    +0 u8  symbol
//     +2  u16 sum of frequencies  +1 u8  frequency
//     +4  u32 states              +2 u32 successor context
//     +8  u32 suffix context
//
// A context with a single state keeps it in place at +2 (over the sum and
// the states offset); a context with several keeps them in a separate run
// of units, sorted roughly by falling frequency.
//
// Every coding step of the decoder is a step the encoder could have taken
// (it picks a state of the current context or an escape), so damaged input
// drives the model through ordinary states only; what it must guard is
// reading past the block and writing past the room it was given.
#include <algorithm>
#include <cstring>
#include <memory>

#include <sys/mman.h>

#include "platform/little_endian.h"
#include "storage/compress/ppmd.h"

namespace kivo::ppmd {
namespace {

using Ref = std::uint32_t;  // byte offset into the arena; 0 is no object

constexpr int kMaxOrderLimit = 16;
constexpr int kIntBits = 7;
constexpr int kPeriodBits = 7;
constexpr int kMaxFreq = 124;
constexpr int kInterval = 1 << kIntBits;
constexpr int kBinScale = kInterval << kPeriodBits;
constexpr std::uint32_t kTop = 1u << 24;
constexpr std::uint32_t kBot = 1u << 15;

constexpr std::uint32_t kUnitSize = 12;
constexpr std::uint32_t kStateSize = 6;
constexpr int kIndexCount = 4 + 4 + 4 + 26;         // unit-count classes of free blocks
constexpr std::uint32_t kReserveUnits = 128 * 128;  // kept back until memory first runs out

// ---------------------------------------------------------------------------
// Constant tables.

struct Tables {
  std::uint8_t indexToUnits[kIndexCount];
  std::uint8_t unitsToIndex[128];
  std::uint8_t ns2Index[256];     // number of states -> SEE row
  std::uint8_t ns2BinIndex[256];  // suffix state count -> binary SEE column
};

constexpr Tables MakeTables() {
  Tables t{};
  int i = 0, k = 1;
  // Classes grow by 1 unit up to 4, by 2 up to 12, by 3 up to 24, by 4 up to 128.
  for (; i < 4; ++i, k += 1) t.indexToUnits[i] = static_cast<std::uint8_t>(k);
  for (++k; i < 8; ++i, k += 2) t.indexToUnits[i] = static_cast<std::uint8_t>(k);
  for (++k; i < 12; ++i, k += 3) t.indexToUnits[i] = static_cast<std::uint8_t>(k);
  for (++k; i < kIndexCount; ++i, k += 4) t.indexToUnits[i] = static_cast<std::uint8_t>(k);
  for (k = 0, i = 0; k < 128; ++k) {
    i += (t.indexToUnits[i] < k + 1);
    t.unitsToIndex[k] = static_cast<std::uint8_t>(i);
  }
  for (i = 0; i < 6; ++i) t.ns2BinIndex[i] = static_cast<std::uint8_t>(2 * i);
  for (; i < 50; ++i) t.ns2BinIndex[i] = 12;
  for (; i < 256; ++i) t.ns2BinIndex[i] = 14;
  for (i = 0; i < 4; ++i) t.ns2Index[i] = static_cast<std::uint8_t>(i);
  for (; i < 4 + 8; ++i) t.ns2Index[i] = static_cast<std::uint8_t>(4 + ((i - 4) >> 1));
  for (; i < 4 + 8 + 32; ++i) t.ns2Index[i] = static_cast<std::uint8_t>(4 + 4 + ((i - 4 - 8) >> 2));
  for (; i < 256; ++i)
    t.ns2Index[i] = static_cast<std::uint8_t>(4 + 4 + 8 + ((i - 4 - 8 - 32) >> 3));
  return t;
}
constexpr Tables kTables = MakeTables();

// Initial escape estimates of the binary contexts, by suffix state class.
constexpr std::uint16_t kInitBinEsc[16] = {0x3CDD, 0x1F3F, 0x59BF, 0x48F3, 0x5FFB, 0x5545,
                                           0x63D1, 0x5D9D, 0x64A1, 0x5ABC, 0x6632, 0x6051,
                                           0x68F6, 0x549B, 0x6BCA, 0x3AB0};
// Escape frequency given to a context that grows out of a binary one, by the
// binary escape estimate it left with.
constexpr std::uint8_t kExpEscape[16] = {25, 14, 9, 7, 5, 5, 4, 4, 4, 3, 3, 3, 2, 2, 2, 2};

std::uint32_t IndexUnits(int index) { return kTables.indexToUnits[index]; }
std::uint32_t IndexBytes(int index) { return kUnitSize * kTables.indexToUnits[index]; }
int UnitsIndex(std::uint32_t units) { return kTables.unitsToIndex[units - 1]; }

// ---------------------------------------------------------------------------
// The arena and its allocator: contexts are taken from the top, runs of
// states from the bottom or from free lists by size class. When both ends
// meet, a reserve at the very bottom is released once; when that is gone
// too, allocation fails and the model restarts.

class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena() {
    if (bytes_) munmap(bytes_, mapped_);
  }

  // Maps the model memory. Pages are only committed as the model reaches
  // them, so a short block costs little of its 20 or 50 MB.
  bool Open(int memoryMB) {
    size_ = static_cast<std::uint32_t>(memoryMB) << 20;
    // One unit before the heap keeps offset 0 free as "none"; it stays
    // zeroed, so reading a missing context sees zero states.
    mapped_ = kUnitSize + size_;
    void* p = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    bytes_ = static_cast<std::uint8_t*>(p);
    return true;
  }

  std::uint8_t* Bytes() const { return bytes_; }

  void Reset() {
    std::fill(std::begin(free_), std::end(free_), Ref{0});
    const Ref start = kUnitSize;
    hiUnit_ = start + kUnitSize * (size_ / kUnitSize);
    reserve_ = start;
    loUnit_ = start + kReserveUnits * kUnitSize;
  }

  Ref AllocContext() {
    if (hiUnit_ != loUnit_) return hiUnit_ -= kUnitSize;
    return AllocUnits(1);
  }

  Ref AllocUnits(std::uint32_t units) {
    const int index = UnitsIndex(units);
    if (free_[index]) return Pop(index);
    const Ref block = loUnit_;
    loUnit_ += IndexBytes(index);
    if (loUnit_ <= hiUnit_) return block;
    loUnit_ -= IndexBytes(index);
    if (reserve_) {
      for (int i = 0; i < 128; ++i) {
        Push(reserve_, kIndexCount - 1);
        reserve_ += 128 * kUnitSize;
      }
      reserve_ = 0;
    }
    int i = index;
    do {
      if (++i == kIndexCount) return 0;
    } while (!free_[i]);
    const Ref found = Pop(i);
    Split(found, i, index);
    return found;
  }

  // Grows a run of `units` units by one; its contents move along.
  Ref ExpandUnits(Ref old, std::uint32_t units) {
    const int i0 = UnitsIndex(units), i1 = UnitsIndex(units + 1);
    if (i0 == i1) return old;
    const Ref block = AllocUnits(units + 1);
    if (block) {
      std::memcpy(At(block), At(old), IndexBytes(i0));
      Push(old, i0);
    }
    return block;
  }

  Ref ShrinkUnits(Ref old, std::uint32_t oldUnits, std::uint32_t newUnits) {
    const int i0 = UnitsIndex(oldUnits), i1 = UnitsIndex(newUnits);
    if (i0 == i1) return old;
    if (free_[i1]) {
      const Ref block = Pop(i1);
      std::memcpy(At(block), At(old), IndexBytes(i1));
      Push(old, i0);
      return block;
    }
    Split(old, i0, i1);
    return old;
  }

  void FreeUnits(Ref block, std::uint32_t units) { Push(block, UnitsIndex(units)); }

 private:
  std::uint8_t* At(Ref r) const { return bytes_ + r; }

  // A free block keeps the offset of the next one in its first 4 bytes.
  void Push(Ref block, int index) {
    std::memcpy(At(block), &free_[index], 4);
    free_[index] = block;
  }
  Ref Pop(int index) {
    const Ref block = free_[index];
    std::memcpy(&free_[index], At(block), 4);
    return block;
  }

  // Keeps the first class-`newIndex` part of a class-`oldIndex` block and
  // returns the rest to the free lists.
  void Split(Ref block, int oldIndex, int newIndex) {
    std::uint32_t diff = IndexUnits(oldIndex) - IndexUnits(newIndex);
    Ref rest = block + IndexBytes(newIndex);
    int i = UnitsIndex(diff);
    if (IndexUnits(i) != diff) {
      Push(rest, --i);
      rest += IndexBytes(i);
      diff -= IndexUnits(i);
    }
    Push(rest, UnitsIndex(diff));
  }

  std::uint8_t* bytes_ = nullptr;
  std::size_t mapped_ = 0;
  std::uint32_t size_ = 0;
  Ref loUnit_ = 0, hiUnit_ = 0, reserve_ = 0;
  Ref free_[kIndexCount] = {};
};

// ---------------------------------------------------------------------------
// Secondary escape estimation for contexts entered after an escape.

struct See2 {
  std::uint16_t summ;
  std::uint8_t shift;
  std::uint8_t count;

  void Init(int value) {
    shift = kPeriodBits - 4;
    summ = static_cast<std::uint16_t>(value << shift);
    count = 3;
  }
  std::uint32_t Mean() {
    std::uint32_t v = summ >> shift;
    summ = static_cast<std::uint16_t>(summ - v);
    v &= 0x03FF;
    return v + (v == 0);
  }
  void Update() {
    if (shift < kPeriodBits && --count == 0) {
      summ = static_cast<std::uint16_t>(summ + summ);
      count = static_cast<std::uint8_t>(3 << shift++);
    }
  }
};

// One symbol state held by value.
struct State {
  std::uint8_t symbol, freq;
  Ref successor;
};

// ---------------------------------------------------------------------------
// The range coder (carry-less, 32-bit).

class RangeEncoder {
 public:
  explicit RangeEncoder(std::vector<std::uint8_t>& out) : out_(out) {}

  void Encode(std::uint32_t lowCount, std::uint32_t highCount, std::uint32_t scale) {
    low_ += lowCount * (range_ /= scale);
    range_ *= highCount - lowCount;
  }
  void EncodeShift(std::uint32_t lowCount, std::uint32_t highCount, int shift) {
    low_ += lowCount * (range_ >>= shift);
    range_ *= highCount - lowCount;
  }
  void Normalize() {
    for (;;) {
      if ((low_ ^ (low_ + range_)) >= kTop) {
        if (range_ >= kBot) break;
        range_ = (0u - low_) & (kBot - 1);
      }
      out_.push_back(static_cast<std::uint8_t>(low_ >> 24));
      range_ <<= 8;
      low_ <<= 8;
    }
  }
  void Flush() {
    for (int i = 0; i < 4; ++i) {
      out_.push_back(static_cast<std::uint8_t>(low_ >> 24));
      low_ <<= 8;
    }
  }

 private:
  std::vector<std::uint8_t>& out_;
  std::uint32_t low_ = 0, range_ = 0xFFFFFFFFu;
};

class RangeDecoder {
 public:
  RangeDecoder(const std::uint8_t* in, std::uint32_t size) : in_(in), size_(size) {
    for (int i = 0; i < 4; ++i) code_ = (code_ << 8) | Next();
  }

  std::uint32_t Count(std::uint32_t scale) { return (code_ - low_) / (range_ /= scale); }
  std::uint32_t CountShift(int shift) { return (code_ - low_) / (range_ >>= shift); }
  void Remove(std::uint32_t lowCount, std::uint32_t highCount) {
    low_ += range_ * lowCount;
    range_ *= highCount - lowCount;
  }
  void Normalize() {
    for (;;) {
      if ((low_ ^ (low_ + range_)) >= kTop) {
        if (range_ >= kBot) break;
        range_ = (0u - low_) & (kBot - 1);
      }
      code_ = (code_ << 8) | Next();
      range_ <<= 8;
      low_ <<= 8;
    }
  }
  // True once the coder wanted a byte past the end of its input.
  bool Overrun() const { return overrun_; }
  bool AtEnd() const { return pos_ == size_; }

 private:
  std::uint32_t Next() {
    if (pos_ < size_) return in_[pos_++];
    overrun_ = true;
    return 0;
  }

  const std::uint8_t* in_;
  std::uint32_t size_, pos_ = 0;
  std::uint32_t low_ = 0, code_ = 0, range_ = 0xFFFFFFFFu;
  bool overrun_ = false;
};

// ---------------------------------------------------------------------------
// The model.

class Model {
 public:
  Model(Arena& arena, int maxOrder) : arena_(arena), m_(arena.Bytes()), maxOrder_(maxOrder) {
    Restart();
  }

  void Encode(const std::uint8_t* in, std::uint32_t size, RangeEncoder& rc);
  std::int64_t Decode(RangeDecoder& rc, std::vector<std::uint8_t>& out, std::size_t limit);

 private:
  // Field access, through bytes and memcpy: units are only 4-byte aligned
  // and states straddle them. The 16-bit fields are little-endian on every
  // host, because the model reads the single state of a context (symbol,
  // then frequency) as its 16-bit frequency sum in one place.
  std::uint16_t Ld16(Ref r) const { return LoadLE<std::uint16_t>(m_ + r); }
  Ref Ld32(Ref r) const {
    Ref v;
    std::memcpy(&v, m_ + r, 4);
    return v;
  }
  void St16(Ref r, unsigned v) { StoreLE<std::uint16_t>(m_ + r, static_cast<std::uint16_t>(v)); }
  void St32(Ref r, Ref v) { std::memcpy(m_ + r, &v, 4); }

  unsigned NumStats(Ref c) const { return Ld16(c); }
  void SetNumStats(Ref c, unsigned n) { St16(c, n); }
  unsigned SummFreq(Ref c) const { return Ld16(c + 2); }
  void SetSummFreq(Ref c, unsigned v) { St16(c + 2, v); }
  Ref Stats(Ref c) const { return Ld32(c + 4); }
  void SetStats(Ref c, Ref s) { St32(c + 4, s); }
  Ref Suffix(Ref c) const { return Ld32(c + 8); }
  void SetSuffix(Ref c, Ref s) { St32(c + 8, s); }
  static Ref OneState(Ref c) { return c + 2; }

  unsigned Symbol(Ref s) const { return m_[s]; }
  void SetSymbol(Ref s, unsigned v) { m_[s] = static_cast<std::uint8_t>(v); }
  unsigned Freq(Ref s) const { return m_[s + 1]; }
  void SetFreq(Ref s, unsigned v) { m_[s + 1] = static_cast<std::uint8_t>(v); }
  Ref Successor(Ref s) const { return Ld32(s + 2); }
  void SetSuccessor(Ref s, Ref c) { St32(s + 2, c); }

  State Load(Ref s) const { return {m_[s], m_[s + 1], Ld32(s + 2)}; }
  void Store(Ref s, const State& v) {
    m_[s] = v.symbol;
    m_[s + 1] = v.freq;
    St32(s + 2, v.successor);
  }
  void Swap(Ref a, Ref b) {
    std::uint8_t t[kStateSize];
    std::memcpy(t, m_ + a, kStateSize);
    std::memmove(m_ + a, m_ + b, kStateSize);
    std::memcpy(m_ + b, t, kStateSize);
  }

  // Creates a context with one state (the successor of `from`) below `suffix`.
  Ref NewContext(Ref from, Ref suffix) {
    const Ref c = arena_.AllocContext();
    if (c) {
      SetNumStats(c, 1);
      SetSuffix(c, suffix);
      SetSuccessor(from, c);
    }
    return c;
  }

  void Restart();
  void ClearMask() {
    escCount_ = 1;
    std::memset(charMask_, 0, sizeof charMask_);
  }
  void Rescale(Ref c);
  bool CreateSuccessors(unsigned skip, Ref p1);
  void UpdateModel();
  void AfterSymbol();

  std::uint16_t& BinSumm(Ref c, Ref rs) {
    return binSumm_[Freq(rs) - 1][prevSuccess_ + kTables.ns2BinIndex[NumStats(Suffix(c)) - 1]];
  }
  See2* MakeEscFreq2(Ref c, int diff);
  void BinSymbolFound(Ref rs, std::uint16_t& bs);
  void BinSymbolEscape(Ref rs, std::uint16_t& bs);
  void Update1(Ref c, Ref p);
  void Update2(Ref c, Ref p);
  void MaskAll(Ref c, Ref last);

  void EncodeBinSymbol(int symbol);
  void EncodeSymbol1(int symbol);
  void EncodeSymbol2(int symbol);
  void DecodeBinSymbol(RangeDecoder& rc);
  void DecodeSymbol1(RangeDecoder& rc);
  void DecodeSymbol2(RangeDecoder& rc);

  Arena& arena_;
  std::uint8_t* m_;
  const int maxOrder_;

  See2 see2_[44][8] = {};
  std::uint16_t binSumm_[128][16] = {};
  std::uint8_t charMask_[256] = {};
  std::uint8_t escCount_ = 1;
  std::uint8_t prevSuccess_ = 0;
  int numMasked_ = 0, initEsc_ = 0, orderFall_ = 0;
  Ref minContext_ = 0, medContext_ = 0, maxContext_ = 0, foundState_ = 0;
  std::uint32_t lowCount_ = 0, highCount_ = 0, scale_ = 0;
};

void Model::Restart() {
  arena_.Reset();
  // The order-0 context with every byte at frequency 1.
  const Ref root = arena_.AllocContext();
  SetSuffix(root, 0);
  SetNumStats(root, 256);
  SetSummFreq(root, 257);
  const Ref stats = arena_.AllocUnits(256 / 2);
  SetStats(root, stats);
  for (unsigned i = 0; i < 256; ++i)
    Store(stats + i * kStateSize, {static_cast<std::uint8_t>(i), 1, 0});
  prevSuccess_ = 0;
  // A chain of single-state contexts for a run of zero bytes up to the
  // maximum order; the top one is still empty.
  Ref p = stats, context = root;
  orderFall_ = 1;
  for (int i = 1;; ++i) {
    context = NewContext(p, context);
    if (i == maxOrder_) break;
    p = OneState(context);
    SetSymbol(p, 0);
    SetFreq(p, 1);
  }
  SetNumStats(context, 0);
  maxContext_ = context;
  medContext_ = minContext_ = Suffix(context);

  for (int i = 0; i < 128; ++i) {
    for (int k = 0; k < 16; ++k)
      binSumm_[i][k] = static_cast<std::uint16_t>(kBinScale - kInitBinEsc[k] / (i + 2));
  }
  int i = 0;
  for (; i < 43; ++i) {
    for (int k = 0; k < 8; ++k) see2_[i][k].Init(4 * i + 10);
  }
  see2_[i][0].shift = kPeriodBits;  // the row of 256-state contexts never adapts
  ClearMask();
}

// Halves the frequencies of context c (moving the found state to the front
// first) and drops states that fall to zero.
void Model::Rescale(Ref c) {
  const unsigned oldNumStats = NumStats(c);
  unsigned i = oldNumStats - 1;
  const Ref stats = Stats(c);
  Ref p = foundState_;
  for (; p != stats; p -= kStateSize) Swap(p, p - kStateSize);
  SetFreq(stats, Freq(stats) + 4);
  int escFreq = static_cast<int>(SummFreq(c) + 4 - Freq(p));
  const unsigned adder = (orderFall_ != 0);
  SetFreq(p, (Freq(p) + adder) >> 1);
  unsigned summ = Freq(p);
  do {
    p += kStateSize;
    escFreq -= static_cast<int>(Freq(p));
    SetFreq(p, (Freq(p) + adder) >> 1);
    summ += Freq(p);
    if (Freq(p) > Freq(p - kStateSize)) {
      // Keep the order by falling frequency: move it up to its place.
      const State moving = Load(p);
      Ref q = p;
      do {
        std::memmove(m_ + q, m_ + q - kStateSize, kStateSize);
        q -= kStateSize;
      } while (q != stats && moving.freq > Freq(q - kStateSize));
      Store(q, moving);
    }
  } while (--i);
  unsigned numStats = oldNumStats;
  if (Freq(p) == 0) {
    do {
      ++i;
      p -= kStateSize;
    } while (Freq(p) == 0);
    escFreq += static_cast<int>(i);
    numStats -= i;
    SetNumStats(c, numStats);
    if (numStats == 1) {
      State only = Load(stats);
      do {
        only.freq = static_cast<std::uint8_t>(only.freq - (only.freq >> 1));
        escFreq >>= 1;
      } while (escFreq > 1);
      arena_.FreeUnits(stats, (oldNumStats + 1) >> 1);
      foundState_ = OneState(c);
      Store(foundState_, only);
      return;
    }
  }
  escFreq -= escFreq >> 1;
  SetSummFreq(c, summ + static_cast<unsigned>(escFreq));
  const unsigned n0 = (oldNumStats + 1) >> 1, n1 = (numStats + 1) >> 1;
  if (n0 != n1) SetStats(c, arena_.ShrinkUnits(stats, n0, n1));
  foundState_ = Stats(c);
}

// Builds the missing contexts above the found state: single-state contexts
// for the orders that were skipped, each predicting the symbol that
// followed. `skip` tells where the walk starts; p1 is the found state in the
// suffix of the current context when known.
bool Model::CreateSuccessors(unsigned skip, Ref p1) {
  Ref pc = minContext_;
  const Ref upBranch = Successor(foundState_);
  const unsigned symbol = Symbol(foundState_);
  Ref ps[kMaxOrderLimit + 2];
  int n = 0;
  Ref p = 0;
  bool walk = true;
  if (skip == 0) {
    ps[n++] = foundState_;
    if (!Suffix(pc)) walk = false;
  } else if (skip == 2) {
    pc = Suffix(pc);
  }
  if (walk) {
    bool entered = false;
    if (p1) {
      p = p1;
      pc = Suffix(pc);
      entered = true;
    }
    do {
      if (!entered) {
        pc = Suffix(pc);
        if (NumStats(pc) != 1) {
          p = Stats(pc);
          while (Symbol(p) != symbol) p += kStateSize;
        } else {
          p = OneState(pc);
        }
      }
      entered = false;
      if (Successor(p) != upBranch) {
        pc = Successor(p);
        break;
      }
      if (n == static_cast<int>(std::size(ps))) return false;
      ps[n++] = p;
    } while (Suffix(pc));
  }
  // The state the new contexts will hold: the symbol that followed, with a
  // frequency estimated from its standing in the context found.
  const Ref up = OneState(upBranch);
  if (NumStats(pc) != 1) {
    const unsigned upSymbol = Symbol(up);
    p = Stats(pc);
    while (Symbol(p) != upSymbol) p += kStateSize;
    const std::uint32_t cf = Freq(p) - 1;
    const std::uint32_t s0 = SummFreq(pc) - NumStats(pc) - cf;
    std::uint32_t f;
    if (2 * cf <= s0) {
      f = (5 * cf > s0);
    } else {
      f = s0 ? (2 * cf + 3 * s0 - 1) / (2 * s0) : 0;
    }
    SetFreq(up, 1 + f);
  } else {
    SetFreq(up, Freq(OneState(pc)));
  }
  const State upState = Load(up);
  while (n > 0) {
    pc = NewContext(ps[--n], pc);
    if (!pc) return false;
    Store(OneState(pc), upState);
  }
  if (!orderFall_) {
    SetNumStats(upBranch, 1);
    SetSuffix(upBranch, pc);
  }
  return true;
}

void Model::UpdateModel() {
  const State fs = Load(foundState_);
  Ref p1 = 0, pc, successor;
  unsigned skip = 0;
  // Credit the symbol in the suffix context too.
  if (fs.freq < kMaxFreq / 4 && (pc = Suffix(minContext_)) != 0) {
    if (NumStats(pc) != 1) {
      p1 = Stats(pc);
      if (Symbol(p1) != fs.symbol) {
        do {
          p1 += kStateSize;
        } while (Symbol(p1) != fs.symbol);
        if (Freq(p1) >= Freq(p1 - kStateSize)) {
          Swap(p1, p1 - kStateSize);
          p1 -= kStateSize;
        }
      }
      if (Freq(p1) < 7 * kMaxFreq / 8) {
        SetFreq(p1, Freq(p1) + 2);
        SetSummFreq(pc, SummFreq(pc) + 2);
      }
    } else {
      p1 = OneState(pc);
      SetFreq(p1, Freq(p1) + (Freq(p1) < 32));
    }
  }
  if (orderFall_ == 0) {
    if (!CreateSuccessors(2, 0)) goto restart;
    minContext_ = medContext_ = fs.successor;
    return;
  } else if (--orderFall_ == 0) {
    successor = fs.successor;
    skip = 1;
  } else {
    successor = arena_.AllocContext();
    if (!successor) goto restart;
    SetNumStats(successor, 0);
  }
  if (!NumStats(maxContext_)) {
    SetSymbol(OneState(maxContext_), fs.symbol);
    SetSuccessor(OneState(maxContext_), successor);
  }
  {
    const std::uint32_t ns = NumStats(minContext_);
    // For a single-state context this reads its state as the sum (symbol
    // in the low byte, frequency in the high): the coded format depends on it.
    const std::uint32_t s0 = SummFreq(minContext_) - ns - (fs.freq - 1u);
    // Add the symbol to every context escaped from on the way down.
    for (pc = medContext_; pc != minContext_; pc = Suffix(pc)) {
      std::uint32_t ns1 = NumStats(pc);
      if (ns1 != 1) {
        if ((ns1 & 1) == 0) {
          const Ref grown = arena_.ExpandUnits(Stats(pc), ns1 >> 1);
          if (!grown) goto restart;
          SetStats(pc, grown);
        }
        SetSummFreq(
            pc, SummFreq(pc) + (2 * ns1 < ns) + 2 * ((4 * ns1 <= ns) & (SummFreq(pc) <= 8 * ns1)));
      } else {
        const Ref p = arena_.AllocUnits(1);
        if (!p) goto restart;
        Store(p, Load(OneState(pc)));
        SetStats(pc, p);
        if (Freq(p) < kMaxFreq / 4 - 1) {
          SetFreq(p, Freq(p) + Freq(p));
        } else {
          SetFreq(p, kMaxFreq - 4);
        }
        SetSummFreq(pc, Freq(p) + static_cast<unsigned>(initEsc_) + (ns > 3));
      }
      std::uint32_t cf = 2 * fs.freq * (SummFreq(pc) + 6);
      const std::uint32_t sf = s0 + SummFreq(pc);
      if (cf < 6 * sf) {
        cf = 1 + (cf > sf) + (cf >= 4 * sf);
        SetSummFreq(pc, SummFreq(pc) + 3);
      } else {
        cf = 4 + (cf >= 9 * sf) + (cf >= 12 * sf) + (cf >= 15 * sf);
        SetSummFreq(pc, SummFreq(pc) + cf);
      }
      const Ref p = Stats(pc) + ns1 * kStateSize;
      Store(p, {fs.symbol, static_cast<std::uint8_t>(cf), successor});
      SetNumStats(pc, ++ns1);
    }
  }
  if (fs.successor) {
    if (!NumStats(fs.successor) && !CreateSuccessors(skip, p1)) goto restart;
    minContext_ = Successor(foundState_);
  } else {
    SetSuccessor(foundState_, successor);
    ++orderFall_;
  }
  medContext_ = minContext_;
  maxContext_ = successor;
  return;
restart:
  // Memory is exhausted: start over with an empty model.
  Restart();
  escCount_ = 0;
}

// After a symbol is found: move to the next context, directly when the
// model already has it at full order, otherwise by updating the model.
void Model::AfterSymbol() {
  const Ref next = Successor(foundState_);
  if (!orderFall_ && NumStats(next)) {
    minContext_ = medContext_ = next;
  } else {
    UpdateModel();
    if (escCount_ == 0) ClearMask();
  }
}

See2* Model::MakeEscFreq2(Ref c, int diff) {
  const unsigned numStats = NumStats(c);
  if (numStats != 256) {
    See2* see = &see2_[kTables.ns2Index[diff - 1]][0] +
                (diff < static_cast<int>(NumStats(Suffix(c))) - static_cast<int>(numStats)) +
                2 * (SummFreq(c) < 11 * numStats) + 4 * (numMasked_ > diff);
    scale_ = see->Mean();
    return see;
  }
  scale_ = 1;
  return &see2_[43][0];
}

void Model::BinSymbolFound(Ref rs, std::uint16_t& bs) {
  foundState_ = rs;
  SetFreq(rs, Freq(rs) + (Freq(rs) < 128));
  lowCount_ = 0;
  highCount_ = bs;
  bs = static_cast<std::uint16_t>(bs + kInterval - ((bs + 32) >> kPeriodBits));
  prevSuccess_ = 1;
}

void Model::BinSymbolEscape(Ref rs, std::uint16_t& bs) {
  lowCount_ = bs;
  bs = static_cast<std::uint16_t>(bs - ((bs + 32) >> kPeriodBits));
  highCount_ = kBinScale;
  initEsc_ = kExpEscape[bs >> 10];
  numMasked_ = 1;
  charMask_[Symbol(rs)] = escCount_;
  prevSuccess_ = 0;
  foundState_ = 0;
}

void Model::Update1(Ref c, Ref p) {
  foundState_ = p;
  SetFreq(p, Freq(p) + 4);
  SetSummFreq(c, SummFreq(c) + 4);
  if (Freq(p) > Freq(p - kStateSize)) {
    Swap(p, p - kStateSize);
    foundState_ = p -= kStateSize;
    if (Freq(p) > kMaxFreq) Rescale(c);
  }
}

void Model::Update2(Ref c, Ref p) {
  foundState_ = p;
  SetFreq(p, Freq(p) + 4);
  SetSummFreq(c, SummFreq(c) + 4);
  if (Freq(p) > kMaxFreq) Rescale(c);
  ++escCount_;
}

// Escape from a context coded in full: mask all its symbols.
void Model::MaskAll(Ref c, Ref last) {
  lowCount_ = highCount_;  // set by the caller to the sum of all frequencies
  highCount_ = scale_;
  numMasked_ = static_cast<int>(NumStats(c));
  for (Ref p = Stats(c);; p += kStateSize) {
    charMask_[Symbol(p)] = escCount_;
    if (p == last) break;
  }
  foundState_ = 0;
}

void Model::EncodeBinSymbol(int symbol) {
  const Ref rs = OneState(minContext_);
  std::uint16_t& bs = BinSumm(minContext_, rs);
  if (static_cast<int>(Symbol(rs)) == symbol) {
    BinSymbolFound(rs, bs);
  } else {
    BinSymbolEscape(rs, bs);
  }
}

void Model::DecodeBinSymbol(RangeDecoder& rc) {
  const Ref rs = OneState(minContext_);
  std::uint16_t& bs = BinSumm(minContext_, rs);
  if (rc.CountShift(kIntBits + kPeriodBits) < bs) {
    BinSymbolFound(rs, bs);
  } else {
    BinSymbolEscape(rs, bs);
  }
}

void Model::EncodeSymbol1(int symbol) {
  const Ref c = minContext_;
  scale_ = SummFreq(c);
  Ref p = Stats(c);
  if (static_cast<int>(Symbol(p)) == symbol) {
    highCount_ = Freq(p);
    prevSuccess_ = (2 * highCount_ > scale_);
    foundState_ = p;
    SetFreq(p, Freq(p) + 4);
    SetSummFreq(c, SummFreq(c) + 4);
    if (Freq(p) > kMaxFreq) Rescale(c);
    lowCount_ = 0;
    return;
  }
  prevSuccess_ = 0;
  std::uint32_t loCnt = Freq(p);
  for (unsigned i = NumStats(c) - 1; i > 0; --i) {
    p += kStateSize;
    if (static_cast<int>(Symbol(p)) == symbol) {
      lowCount_ = loCnt;
      highCount_ = loCnt + Freq(p);
      Update1(c, p);
      return;
    }
    loCnt += Freq(p);
  }
  highCount_ = loCnt;
  MaskAll(c, p);
}

void Model::DecodeSymbol1(RangeDecoder& rc) {
  const Ref c = minContext_;
  scale_ = SummFreq(c);
  Ref p = Stats(c);
  const std::uint32_t count = rc.Count(scale_);
  std::uint32_t hiCnt = Freq(p);
  if (count < hiCnt) {
    highCount_ = hiCnt;
    prevSuccess_ = (2 * hiCnt > scale_);
    foundState_ = p;
    hiCnt += 4;
    SetFreq(p, hiCnt);
    SetSummFreq(c, SummFreq(c) + 4);
    if (hiCnt > kMaxFreq) Rescale(c);
    lowCount_ = 0;
    return;
  }
  prevSuccess_ = 0;
  for (unsigned i = NumStats(c) - 1; i > 0; --i) {
    p += kStateSize;
    hiCnt += Freq(p);
    if (hiCnt > count) {
      highCount_ = hiCnt;
      lowCount_ = hiCnt - Freq(p);
      Update1(c, p);
      return;
    }
  }
  highCount_ = hiCnt;
  MaskAll(c, p);
}

void Model::EncodeSymbol2(int symbol) {
  const Ref c = minContext_;
  int i = static_cast<int>(NumStats(c)) - numMasked_;
  See2* see = MakeEscFreq2(c, i);
  Ref p = Stats(c) - kStateSize;
  std::uint32_t hiCnt = 0;
  do {
    do {
      p += kStateSize;
    } while (charMask_[Symbol(p)] == escCount_);
    hiCnt += Freq(p);
    if (static_cast<int>(Symbol(p)) == symbol) {
      lowCount_ = hiCnt - Freq(p);
      highCount_ = hiCnt;
      // The rest of the unmasked frequencies still count in the total.
      Ref q = p;
      while (--i) {
        do {
          q += kStateSize;
        } while (charMask_[Symbol(q)] == escCount_);
        hiCnt += Freq(q);
      }
      scale_ += hiCnt;
      see->Update();
      Update2(c, p);
      return;
    }
    charMask_[Symbol(p)] = escCount_;
  } while (--i);
  lowCount_ = hiCnt;
  scale_ += hiCnt;
  highCount_ = scale_;
  see->summ = static_cast<std::uint16_t>(see->summ + scale_);
  numMasked_ = static_cast<int>(NumStats(c));
}

void Model::DecodeSymbol2(RangeDecoder& rc) {
  const Ref c = minContext_;
  int i = static_cast<int>(NumStats(c)) - numMasked_;
  See2* see = MakeEscFreq2(c, i);
  Ref ps[256];
  int n = 0;
  Ref p = Stats(c) - kStateSize;
  std::uint32_t hiCnt = 0;
  do {
    do {
      p += kStateSize;
    } while (charMask_[Symbol(p)] == escCount_);
    hiCnt += Freq(p);
    ps[n++] = p;
  } while (--i && n < 256);
  scale_ += hiCnt;
  const std::uint32_t count = rc.Count(scale_);
  if (count < hiCnt) {
    int k = 0;
    hiCnt = 0;
    p = ps[0];
    while ((hiCnt += Freq(p)) <= count) p = ps[++k];
    lowCount_ = hiCnt - Freq(p);
    highCount_ = hiCnt;
    see->Update();
    Update2(c, p);
  } else {
    lowCount_ = hiCnt;
    highCount_ = scale_;
    for (int k = 0; k < n; ++k) charMask_[Symbol(ps[k])] = escCount_;
    see->summ = static_cast<std::uint16_t>(see->summ + scale_);
    numMasked_ = static_cast<int>(NumStats(c));
  }
}

void Model::Encode(const std::uint8_t* in, std::uint32_t size, RangeEncoder& rc) {
  for (std::uint32_t pos = 0;; ++pos) {
    // Past the last byte comes the end mark: a symbol no context holds, so
    // it escapes through every order.
    const int symbol = pos < size ? in[pos] : -1;
    if (NumStats(minContext_) != 1) {
      EncodeSymbol1(symbol);
      rc.Encode(lowCount_, highCount_, scale_);
    } else {
      EncodeBinSymbol(symbol);
      rc.EncodeShift(lowCount_, highCount_, kIntBits + kPeriodBits);
    }
    while (!foundState_) {
      rc.Normalize();
      do {
        ++orderFall_;
        minContext_ = Suffix(minContext_);
        if (!minContext_) {
          rc.Flush();
          return;
        }
      } while (static_cast<int>(NumStats(minContext_)) == numMasked_);
      EncodeSymbol2(symbol);
      rc.Encode(lowCount_, highCount_, scale_);
    }
    AfterSymbol();
    rc.Normalize();
  }
}

std::int64_t Model::Decode(RangeDecoder& rc, std::vector<std::uint8_t>& out, std::size_t limit) {
  const std::size_t start = out.size();
  std::size_t n = start;
  for (;;) {
    if (NumStats(minContext_) != 1) {
      DecodeSymbol1(rc);
    } else {
      DecodeBinSymbol(rc);
    }
    rc.Remove(lowCount_, highCount_);
    while (!foundState_) {
      rc.Normalize();
      do {
        ++orderFall_;
        minContext_ = Suffix(minContext_);
        if (!minContext_) {
          out.resize(n);
          // A whole block ends exactly with the end mark.
          if (rc.Overrun() || !rc.AtEnd()) return -1;
          return static_cast<std::int64_t>(n - start);
        }
      } while (static_cast<int>(NumStats(minContext_)) == numMasked_);
      DecodeSymbol2(rc);
      rc.Remove(lowCount_, highCount_);
    }
    if (n == out.size()) {
      if (n >= limit) return -1;  // would decode past the room given
      out.resize(std::min(limit, std::max<std::size_t>(n + 65536, n + n / 2)));
    }
    out[n++] = static_cast<std::uint8_t>(Symbol(foundState_));
    AfterSymbol();
    rc.Normalize();
    if (rc.Overrun()) return -1;
  }
}

}  // namespace

bool EncodeBlock(const std::uint8_t* in, std::uint32_t size, int order, int memoryMB,
                 std::vector<std::uint8_t>& out) {
  if (order < 2 || order > kMaxOrderLimit || memoryMB < 1 || memoryMB > 256) return false;
  Arena arena;
  if (!arena.Open(memoryMB)) return false;
  const std::size_t at = out.size();
  out.resize(at + 4);
  StoreLE<std::uint32_t>(out.data() + at, InfoWord(order, memoryMB));
  auto model = std::make_unique<Model>(arena, order);
  RangeEncoder rc(out);
  model->Encode(in, size, rc);
  return true;
}

std::int64_t DecodeBlock(const std::uint8_t* in, std::uint32_t size, std::vector<std::uint8_t>& out,
                         std::size_t limit) {
  if (size < 4) return -1;
  const auto info = LoadLE<std::uint32_t>(in);
  if (((info >> 12) & 0xF) != 'G' - 'A') return 0;
  if (info >> 16) return -1;
  const int order = static_cast<int>(info & 0xF) + 1;
  const int memoryMB = static_cast<int>((info >> 4) & 0xFF) + 1;
  if (order < 2) return -1;
  Arena arena;
  if (!arena.Open(memoryMB)) return 0;
  auto model = std::make_unique<Model>(arena, order);
  RangeDecoder rc(in + 4, size - 4);
  const std::size_t before = out.size();
  const std::int64_t n = model->Decode(rc, out, limit);
  if (n < 0) out.resize(before);
  return n;
}

}  // namespace kivo::ppmd
