// The rows of a COPY ... FROM STDIN on their way to the server from a thread of their own, so that the
// caller goes on reading and encoding the next rows while the server loads the last ones.
//
// The caller fills a chunk (Chunk()) and hands it over (Send()); the sender passes each to the server in
// turn. At most a few chunks wait, so memory stays flat however many rows go: Send() waits while they do.
// While the sender runs, the connection is its own; Finish() and Stop() give it back, and only then may
// the caller end the COPY or use the connection for anything else.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/data/postgres/PgApi.h"

namespace vela::data::postgres {

class CopySender {
 public:
  // How large a chunk grows before it is sent, and how many may wait.
  static constexpr std::size_t kChunkBytes = 256 * 1024;
  static constexpr std::size_t kWaiting = 3;

  explicit CopySender(PGconn* conn);
  ~CopySender() { Stop(); }
  CopySender(const CopySender&) = delete;
  CopySender& operator=(const CopySender&) = delete;

  // The chunk being filled.
  std::string& Chunk() { return chunk_; }
  // Hands the chunk to the sender and begins an empty one. Returns false, having stopped the sender,
  // when sending failed: the connection's error says why.
  bool Send();
  // Sends what is left and waits for the sender; false as Send() when sending failed.
  bool Finish();
  // Stops the sender at once, dropping the chunks that wait.
  void Stop();

 private:
  void Work();

  PGconn* conn_;
  std::string chunk_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> waiting_;  // handed over, not yet sent
  std::vector<std::string> spare_;   // sent, kept for the next chunks
  bool ending_ = false;              // no more chunks come
  bool failed_ = false;
  std::thread thread_;
};

}  // namespace vela::data::postgres
