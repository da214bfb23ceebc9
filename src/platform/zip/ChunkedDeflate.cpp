#include "platform/zip/ChunkedDeflate.h"

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

namespace vela::zip {
namespace {

static_assert(std::endian::native == std::endian::little, "the bit reader loads little-endian words");

[[noreturn]] void Malformed(const char* what, std::size_t bit) {
  throw std::runtime_error(std::string("malformed deflate stream: ") + what + " at bit " +
                           std::to_string(bit));
}

// Bits are taken least significant first, as deflate packs them. A 64-bit buffer holds the next bits so
// that decoding a symbol costs a mask and a shift; bits past the end read as zero, and consuming them fails.
class BitReader {
 public:
  explicit BitReader(std::span<const std::uint8_t> data) : data_(data) {}

  std::uint32_t Peek(int count) {  // count <= 32
    if (available_ < count) Refill();
    return static_cast<std::uint32_t>(buffer_ & ((std::uint64_t{1} << count) - 1));
  }
  void Skip(int count) {  // count <= available bits after a Peek of at least as many
    buffer_ >>= count;
    available_ -= count;
    consumed_ += static_cast<std::size_t>(count);
    if (consumed_ > data_.size() * 8) Malformed("unexpected end", consumed_);
  }
  std::uint32_t Read(int count) {
    std::uint32_t value = Peek(count);
    Skip(count);
    return value;
  }
  void SkipBytes(std::size_t count) {  // only on a byte boundary
    consumed_ += count * 8;
    if (consumed_ > data_.size() * 8) Malformed("unexpected end", consumed_);
    next_ = consumed_ / 8;
    buffer_ = 0;
    available_ = 0;
  }
  void AlignToByte() { Read(static_cast<int>((8 - consumed_ % 8) % 8)); }
  std::size_t Position() const { return consumed_; }

 private:
  void Refill() {
    if (next_ + 8 <= data_.size()) {
      std::uint64_t word;
      std::memcpy(&word, data_.data() + next_, 8);
      buffer_ |= word << available_;
      next_ += static_cast<std::size_t>(63 - available_) / 8;
      available_ |= 56;
      return;
    }
    while (available_ <= 56) {
      std::uint64_t byte = next_ < data_.size() ? data_[next_] : 0;
      ++next_;
      buffer_ |= byte << available_;
      available_ += 8;
    }
  }

  std::span<const std::uint8_t> data_;
  std::size_t next_ = 0;      // next byte to load into the buffer
  std::uint64_t buffer_ = 0;  // bits from `consumed_` on
  int available_ = 0;
  std::size_t consumed_ = 0;
};

// A canonical Huffman code. Codes of up to kFastBits bits are decoded with one lookup in a table small
// enough for the first-level cache; the rare longer ones are decoded bit by bit from the code's counts.
class HuffmanCode {
 public:
  void Build(const std::uint8_t* lengths, int count, std::size_t where) {
    perLength_.fill(0);
    for (int s = 0; s < count; ++s) ++perLength_[lengths[s]];
    perLength_[0] = 0;
    std::array<std::uint32_t, 16> next{};
    std::array<int, 16> firstIndex{};
    std::uint32_t code = 0;
    for (int bits = 1; bits <= 15; ++bits) {
      code = (code + static_cast<std::uint32_t>(perLength_[bits - 1])) << 1;
      next[bits] = code;
      firstIndex[bits] = firstIndex[bits - 1] + perLength_[bits - 1];
    }
    table_.fill(0);
    sorted_.resize(static_cast<std::size_t>(count));
    for (int s = 0; s < count; ++s) {
      int length = lengths[s];
      if (length == 0) continue;
      sorted_[static_cast<std::size_t>(firstIndex[length]++)] = static_cast<std::uint16_t>(s);
      std::uint32_t value = next[length]++;
      if (value >= (1u << length)) Malformed("oversubscribed code", where);
      std::uint32_t reversed = 0;
      for (int i = 0; i < length; ++i) reversed |= ((value >> i) & 1u) << (length - 1 - i);
      if (length > kFastBits) {
        table_[reversed & (kFastSize - 1)] = kLongCode;
        continue;
      }
      for (std::uint32_t i = reversed; i < kFastSize; i += 1u << length)
        table_[i] = static_cast<std::uint32_t>(s) << 8 | static_cast<std::uint32_t>(length);
    }
  }

  int Decode(BitReader& in) const {
    std::uint32_t entry = table_[in.Peek(kFastBits)];
    if (entry != kLongCode && entry != 0) {
      in.Skip(static_cast<int>(entry & 0xFF));
      return static_cast<int>(entry >> 8);
    }
    std::uint32_t bits = in.Peek(15);
    int code = 0;
    int first = 0;
    int index = 0;
    for (int length = 1; length <= 15; ++length) {
      code |= static_cast<int>((bits >> (length - 1)) & 1u);
      int count = perLength_[static_cast<std::size_t>(length)];
      if (code - count < first) {
        in.Skip(length);
        return sorted_[static_cast<std::size_t>(index + code - first)];
      }
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    Malformed("invalid code", in.Position());
  }

 private:
  static constexpr int kFastBits = 10;
  static constexpr std::uint32_t kFastSize = 1u << kFastBits;
  static constexpr std::uint32_t kLongCode = 0xFF;
  std::array<std::uint32_t, kFastSize> table_{};
  std::array<int, 16> perLength_{};
  std::vector<std::uint16_t> sorted_;
};

constexpr std::array<std::uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<std::uint8_t, 30> kDistanceExtra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                         6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

void SkipSymbols(BitReader& in, const HuffmanCode& literals, const HuffmanCode& distances) {
  for (;;) {
    int symbol = literals.Decode(in);
    if (symbol < 256) continue;
    if (symbol == 256) return;
    if (symbol > 285) Malformed("invalid length symbol", in.Position());
    in.Read(kLengthExtra[static_cast<std::size_t>(symbol - 257)]);
    int distance = distances.Decode(in);
    if (distance > 29) Malformed("invalid distance symbol", in.Position());
    in.Read(kDistanceExtra[static_cast<std::size_t>(distance)]);
  }
}

void ReadDynamicCodes(BitReader& in, HuffmanCode& literals, HuffmanCode& distances) {
  static constexpr std::array<int, 19> kOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                 11, 4,  12, 3, 13, 2, 14, 1, 15};
  int literalCount = static_cast<int>(in.Read(5)) + 257;
  int distanceCount = static_cast<int>(in.Read(5)) + 1;
  int lengthCodeCount = static_cast<int>(in.Read(4)) + 4;
  std::array<std::uint8_t, 19> lengthCodeLengths{};
  for (int i = 0; i < lengthCodeCount; ++i)
    lengthCodeLengths[static_cast<std::size_t>(kOrder[static_cast<std::size_t>(i)])] =
        static_cast<std::uint8_t>(in.Read(3));
  HuffmanCode lengthCode;
  lengthCode.Build(lengthCodeLengths.data(), 19, in.Position());

  std::array<std::uint8_t, 288 + 32> lengths{};
  int total = literalCount + distanceCount;
  for (int i = 0; i < total;) {
    int symbol = lengthCode.Decode(in);
    int repeat = 0;
    std::uint8_t value = 0;
    if (symbol < 16) {
      lengths[static_cast<std::size_t>(i++)] = static_cast<std::uint8_t>(symbol);
      continue;
    } else if (symbol == 16) {
      if (i == 0) Malformed("repeat without a length", in.Position());
      value = lengths[static_cast<std::size_t>(i - 1)];
      repeat = 3 + static_cast<int>(in.Read(2));
    } else if (symbol == 17) {
      repeat = 3 + static_cast<int>(in.Read(3));
    } else {
      repeat = 11 + static_cast<int>(in.Read(7));
    }
    if (i + repeat > total) Malformed("code lengths overflow", in.Position());
    std::fill_n(lengths.begin() + i, repeat, value);
    i += repeat;
  }
  literals.Build(lengths.data(), literalCount, in.Position());
  distances.Build(lengths.data() + literalCount, distanceCount, in.Position());
}

}  // namespace

void EndDeflatePiece(Bytes& stream) {
  BitReader in(stream);
  HuffmanCode literals;
  HuffmanCode distances;
  std::size_t finalHeader = 0;
  for (;;) {
    std::size_t header = in.Position();
    bool final = in.Read(1) != 0;
    std::uint32_t type = in.Read(2);
    if (type == 0) {
      in.AlignToByte();
      std::uint32_t length = in.Read(16);
      std::uint32_t check = in.Read(16);
      if ((length ^ 0xFFFFu) != check) Malformed("stored length check", in.Position());
      in.SkipBytes(length);
    } else if (type == 1) {
      static const auto fixed = [] {
        std::array<std::uint8_t, 288> lengths{};
        std::fill_n(lengths.begin(), 144, 8);
        std::fill_n(lengths.begin() + 144, 112, 9);
        std::fill_n(lengths.begin() + 256, 24, 7);
        std::fill_n(lengths.begin() + 280, 8, 8);
        std::array<std::uint8_t, 32> distanceLengths{};
        distanceLengths.fill(5);
        std::pair<HuffmanCode, HuffmanCode> codes;
        codes.first.Build(lengths.data(), 288, 0);
        codes.second.Build(distanceLengths.data(), 32, 0);
        return codes;
      }();
      SkipSymbols(in, fixed.first, fixed.second);
    } else if (type == 2) {
      ReadDynamicCodes(in, literals, distances);
      SkipSymbols(in, literals, distances);
    } else {
      Malformed("reserved block type", header);
    }
    if (final) {
      finalHeader = header;
      break;
    }
  }
  std::size_t end = in.Position();
  stream[finalHeader / 8] &= static_cast<std::uint8_t>(~(1u << (finalHeader % 8)));
  // The empty stored block's header bits are all zero, so zeroing everything after `end` writes it.
  stream.resize((end + 3 + 7) / 8, 0);
  if (end % 8 != 0) stream[end / 8] &= static_cast<std::uint8_t>((1u << (end % 8)) - 1);
  for (std::size_t i = (end + 7) / 8; i < stream.size(); ++i) stream[i] = 0;
  stream.insert(stream.end(), {0x00, 0x00, 0xFF, 0xFF});
}

ChunkedDeflater::ChunkedDeflater(int effort, unsigned threads) {
  threads = std::max(1u, threads);
  workers_.reserve(threads);
  for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this, effort] { Work(effort); });
}

ChunkedDeflater::~ChunkedDeflater() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wake_.notify_all();
  for (auto& worker : workers_) worker.join();
}

void ChunkedDeflater::Submit(Bytes chunk, bool last) {
  Job job{std::move(chunk), last, {}};
  pieces_.push_back(job.result.get_future());
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

Bytes ChunkedDeflater::Next() {
  std::future<Bytes> piece = std::move(pieces_.front());
  pieces_.pop_front();
  return piece.get();
}

void ChunkedDeflater::Work(int effort) {
  std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> compressor(
      libdeflate_alloc_compressor(effort), &libdeflate_free_compressor);
  // libdeflate writes into room for the worst case; left uninitialised, only the pages it writes become
  // resident, and each piece is copied out at its own size.
  std::unique_ptr<std::uint8_t[]> scratch;
  std::size_t room = 0;
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return closing_ || !jobs_.empty(); });
      if (closing_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    try {
      if (!compressor)
        throw std::runtime_error("cannot create a deflate compressor at level " + std::to_string(effort));
      std::size_t bound = libdeflate_deflate_compress_bound(compressor.get(), job.input.size());
      if (bound > room) {
        scratch.reset(new std::uint8_t[bound]);
        room = bound;
      }
      std::size_t size = libdeflate_deflate_compress(compressor.get(), job.input.data(), job.input.size(),
                                                     scratch.get(), room);
      if (size == 0) throw std::runtime_error("deflate output exceeded its bound");
      job.input = Bytes();
      Bytes out;
      out.reserve(size + 8);  // room for the empty stored block that ends a piece
      out.assign(scratch.get(), scratch.get() + size);
      if (!job.last) EndDeflatePiece(out);
      job.result.set_value(std::move(out));
    } catch (...) {
      job.result.set_exception(std::current_exception());
    }
  }
}

unsigned DefaultDeflateThreads() {
  // Capped so that a save does not take over every core of a large machine the host shares.
  return std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
}

}  // namespace vela::zip
