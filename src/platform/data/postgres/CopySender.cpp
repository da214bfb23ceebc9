#include "platform/data/postgres/CopySender.h"

namespace vela::data::postgres {

CopySender::CopySender(PGconn* conn) : conn_(conn) {
  chunk_.reserve(kChunkBytes + 4096);
  thread_ = std::thread([this] { Work(); });
}

bool CopySender::Send() {
  if (chunk_.empty()) return true;
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return failed_ || waiting_.size() < kWaiting; });
  if (failed_) {
    lock.unlock();
    Stop();
    return false;
  }
  waiting_.push_back(std::move(chunk_));
  if (spare_.empty()) {
    chunk_ = std::string();
    chunk_.reserve(kChunkBytes + 4096);
  } else {
    chunk_ = std::move(spare_.back());
    spare_.pop_back();
  }
  changed_.notify_all();
  return true;
}

bool CopySender::Finish() {
  if (!Send()) return false;
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  return !failed_;
}

void CopySender::Stop() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
    waiting_.clear();
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void CopySender::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return ending_ || !waiting_.empty(); });
    if (waiting_.empty()) return;  // ending, and everything went
    std::string chunk = std::move(waiting_.front());
    waiting_.pop_front();
    lock.unlock();
    // Blocks while the server is busy with the rows before: the caller's thread goes on meanwhile.
    const bool sent = PQputCopyData(conn_, chunk.data(), static_cast<int>(chunk.size())) == 1;
    chunk.clear();
    lock.lock();
    spare_.push_back(std::move(chunk));
    if (!sent) {
      failed_ = true;
      waiting_.clear();
      changed_.notify_all();
      return;
    }
    changed_.notify_all();
  }
}

}  // namespace vela::data::postgres
