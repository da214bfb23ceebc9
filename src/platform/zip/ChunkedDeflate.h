// Raw deflate of one archive member, compressed in independent chunks on worker threads.
//
// libdeflate compresses a whole buffer at a time and is about three times as fast as zlib for the same
// size; it cannot stream, nor start from a preset dictionary. So a member is cut into chunks (8 MiB by
// default, see ZipControl), each chunk is compressed on its own, and the pieces are joined into one standard
// deflate stream:
//
//   member stream = piece(chunk 1) ... piece(chunk n-1) piece(chunk n)
//   piece(chunk i < n) = libdeflate output with the final block's BFINAL bit cleared,
//                        then an empty stored block (3 zero bits, zero padding to a byte, 00 00 FF FF)
//   piece(chunk n)     = libdeflate output unchanged (its last block is the stream's final block)
//
// The empty stored block is the "sync flush" of zlib: it ends the piece on a byte boundary so the next
// piece starts there. libdeflate does not say where its final block begins, so EndDeflatePiece walks the
// piece's blocks (header, code lengths, symbols) to find it. Each chunk loses the matches it could have
// had into the 32 KiB before it and starts new Huffman codes: measured on table data files, about 1 KB per
// chunk boundary at every effort, so 0.8 % of the size with 1 MiB chunks and 0.1 % with 8 MiB ones.
//
// Memory stays flat: at most threads + 1 chunks are in flight, each with its compressed piece.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <future>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace vela::zip {

using Bytes = std::vector<std::uint8_t>;

// Turns a complete raw deflate stream (as libdeflate writes it) into a non-final piece, see above.
// Throws std::runtime_error if the data is not a well-formed deflate stream.
void EndDeflatePiece(Bytes& stream);

class ChunkedDeflater {
 public:
  // `effort` is libdeflate's level (1 fastest ... 12 smallest); `threads` worker threads (at least one).
  ChunkedDeflater(int effort, unsigned threads);
  ~ChunkedDeflater();
  ChunkedDeflater(const ChunkedDeflater&) = delete;
  ChunkedDeflater& operator=(const ChunkedDeflater&) = delete;

  // Queues a chunk; `last` marks the final chunk of the member (an empty last chunk is allowed and gives
  // the empty stream). Pieces come back from Next() in the order their chunks were queued.
  void Submit(Bytes chunk, bool last);
  Bytes Next();  // waits for the oldest piece; rethrows a worker's failure
  std::size_t Pending() const { return pieces_.size(); }

  // How many chunks to keep queued: one per worker and the one the caller reads meanwhile.
  std::size_t Depth() const { return workers_.size() + 1; }

 private:
  struct Job {
    Bytes input;
    bool last = false;
    std::promise<Bytes> result;
  };
  void Work(int effort);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool closing_ = false;
  std::deque<std::future<Bytes>> pieces_;
  std::vector<std::thread> workers_;
};

// A sensible worker count for this machine.
unsigned DefaultDeflateThreads();

}  // namespace vela::zip
