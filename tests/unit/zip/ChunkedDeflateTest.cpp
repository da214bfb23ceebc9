// The joined pieces must form one deflate stream that any inflater reads back byte for byte, whatever block
// types libdeflate chose (stored for noise, fixed for tiny inputs, dynamic for text) and at every effort.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <stdexcept>
#include <string>

#include "platform/zip/ChunkedDeflate.h"

namespace vela::zip {
namespace {

Bytes Inflate(const Bytes& stream, std::size_t expected) {
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  Bytes out(expected + 16);
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int status = inflate(&z, Z_FINISH);
  EXPECT_EQ(status, Z_STREAM_END) << "the joined stream must end exactly once, at its last piece";
  EXPECT_EQ(z.avail_in, 0u) << "nothing may follow the final block";
  out.resize(z.total_out);
  inflateEnd(&z);
  return out;
}

// Text-like UTF-16 runs, interrupted by noise so that some chunks hold stored blocks.
Bytes MixedData(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  Bytes data;
  data.reserve(size);
  const std::string words[] = {"[0.5]", "Order ", "2024-01-31 ", "12345.67", "Zürich", "[EOF]"};
  while (data.size() < size) {
    if (random() % 7 == 0) {
      for (int i = 0; i < 3000 && data.size() < size; ++i)
        data.push_back(static_cast<std::uint8_t>(random()));
    } else {
      for (char c : words[random() % 6]) {
        data.push_back(static_cast<std::uint8_t>(c));
        data.push_back(0);
      }
    }
  }
  data.resize(size);
  return data;
}

Bytes Compress(const Bytes& data, std::size_t chunk, int effort, unsigned threads) {
  ChunkedDeflater deflater(effort, threads);
  Bytes joined;
  std::size_t offset = 0;
  do {
    std::size_t size = std::min(chunk, data.size() - offset);
    deflater.Submit(
        Bytes(data.begin() + static_cast<long>(offset), data.begin() + static_cast<long>(offset + size)),
        offset + size == data.size());
    offset += size;
    while (deflater.Pending() >= deflater.Depth() || (offset == data.size() && deflater.Pending() > 0)) {
      Bytes piece = deflater.Next();
      joined.insert(joined.end(), piece.begin(), piece.end());
    }
  } while (offset < data.size());
  return joined;
}

TEST(ChunkedDeflate, JoinedPiecesInflateToTheInput) {
  Bytes data = MixedData(700'000, 1);
  for (int effort : {1, 2, 4, 6, 9, 12}) {
    for (std::size_t chunk : {std::size_t{1000}, std::size_t{65'536}, std::size_t{300'001}}) {
      SCOPED_TRACE("effort " + std::to_string(effort) + ", chunk " + std::to_string(chunk));
      EXPECT_EQ(Inflate(Compress(data, chunk, effort, 2), data.size()), data);
    }
  }
  for (std::size_t size : {0, 1, 7, 4096}) {  // empty and tiny chunks: fixed-code and stored blocks
    Bytes small = MixedData(size, 2);
    EXPECT_EQ(Inflate(Compress(small, 3, 6, 3), size), small) << size;
  }
  Bytes zeros(1 << 20, 0);
  EXPECT_EQ(Inflate(Compress(zeros, 100'000, 9, 2), zeros.size()), zeros);
}

TEST(ChunkedDeflate, RefusesWhatIsNotADeflateStream) {
  // A reserved block type, stored lengths that disagree, a dynamic header that runs off the end.
  for (Bytes bad : {Bytes{0x07}, Bytes{0x00, 0x05, 0x00, 0x00, 0x00}, Bytes{0x05, 0xFF}}) {
    EXPECT_THROW(EndDeflatePiece(bad), std::runtime_error);
  }
}

}  // namespace
}  // namespace vela::zip
