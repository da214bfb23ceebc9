// Helpers for the zip tests: files, recorded events, and a drive double that plays removable
// and full disks and fails the Nth write of the archive.
#pragma once

#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "platform/zip/Drive.h"
#include "platform/zip/UnzipControl.h"
#include "platform/zip/ZipControl.h"
#include "support/Failure.h"
#include "support/TempFolder.h"
#include "velabackup/Error.h"

namespace vela::zip::test {

namespace fs = std::filesystem;

using vela::testing::TempFolder;

inline void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}
using vela::testing::ReadFile;

using vela::testing::Failure;

// UTF-16-like text with stretches of noise: compressible, but not trivially.
inline std::string SampleData(std::size_t size, unsigned seed = 7) {
  std::mt19937 random(seed);
  std::string data;
  while (data.size() < size) {
    if (random() % 5 == 0) {
      for (int i = 0; i < 200; ++i) data.push_back(static_cast<char>(random()));
    } else {
      for (char c : std::to_string(random() % 100000) + "[3.7]Invoice ") data += {c, '\0'};
    }
  }
  data.resize(size);
  return data;
}

// Every file in a folder tree, relative to it.
inline std::vector<std::string> Listing(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    names.push_back(fs::relative(entry.path(), folder).string());
  std::sort(names.begin(), names.end());
  return names;
}

// Only the archive holding `content` (or, for an empty `content`, nothing) may be left in `folder` beside
// the inputs "in" and "out": no temporary file survives.
inline void ExpectOnlyArchive(const fs::path& folder, const fs::path& archive, const std::string& content) {
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(folder)) {
    std::string name = entry.path().filename().string();
    if (name != "in" && name != "out") left.push_back(name);
  }
  if (content.empty()) {
    EXPECT_TRUE(left.empty()) << left.front();
  } else {
    EXPECT_EQ(left, std::vector<std::string>{archive.filename().string()});
    EXPECT_EQ(ReadFile(archive), content);
  }
}

struct StatusEvent {
  bool major;
  std::string item;
  std::int32_t progress;
};

// Records the events of either control; stops at the Nth status event when asked; answers disk prompts
// from a list (the last answer repeats).
template <class Base>
class Recorder : public Base {
 public:
  void MajorStatus(std::string& item, std::int32_t& progress, std::int32_t& stop) override {
    Status(true, item, progress, stop);
  }
  void MinorStatus(std::string& item, std::int32_t& progress, std::int32_t& stop) override {
    Status(false, item, progress, stop);
  }
  void MessageCallback(std::int32_t& message, std::int32_t& style, std::int32_t& number,
                       std::int32_t& reply) override {
    prompts.push_back({message, style, number, reply});
    if (!replies.empty()) reply = replies[std::min(prompts.size(), replies.size()) - 1];
    if (onPrompt) onPrompt();
  }

  std::vector<StatusEvent> status;
  std::vector<std::vector<std::int32_t>> prompts;
  std::vector<std::int32_t> replies;
  std::size_t stopAt = 0;  // 1-based status event index; 0 = never
  std::function<void()> onPrompt;

 private:
  void Status(bool major, std::string& item, std::int32_t& progress, std::int32_t& stop) {
    status.push_back({major, item, progress});
    if (status.size() == stopAt) stop = 1;
  }
};

// Fails the Nth write from when the countdown was set (0: none) with the drive's error.
struct FaultyFile : ArchiveFile {
  FaultyFile(std::unique_ptr<ArchiveFile> inner, int& countdown, std::error_code error)
      : inner(std::move(inner)), countdown(countdown), error(error) {}
  std::error_code Write(std::span<const std::byte> data) override {
    return countdown > 0 && --countdown == 0 ? error : inner->Write(data);
  }
  std::error_code Seek(std::uint64_t offset) override { return inner->Seek(offset); }
  std::uint64_t Tell() const override { return inner->Tell(); }
  std::error_code Commit() override { return inner->Commit(); }
  void Rollback() noexcept override { inner->Rollback(); }
  std::unique_ptr<ArchiveFile> inner;
  int& countdown;
  std::error_code error;
};

class FakeDrive : public Drive {
 public:
  bool IsRemovable(const fs::path&) const override { return removable; }
  std::optional<std::uint64_t> FreeSpace(const fs::path&) const override { return freeSpace; }
  std::unique_ptr<ArchiveFile> CreateArchiveFile(const fs::path& destination,
                                                 std::error_code& error) const override {
    ++created;
    auto file = system.CreateArchiveFile(destination, error);
    if (!file) return nullptr;
    return std::make_unique<FaultyFile>(std::move(file), failWriteAt, failWith);
  }

  bool removable = false;
  std::optional<std::uint64_t> freeSpace = 1 << 30;
  mutable int failWriteAt = 0;
  std::error_code failWith = std::make_error_code(std::errc::io_error);
  mutable int created = 0;

 private:
  SystemDrive system;
};

// Member names and compression methods of an archive, read with libzip.
inline std::vector<std::pair<std::string, std::int32_t>> Members(const fs::path& archive) {
  int error = 0;
  zip_t* zip = zip_open(archive.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
  EXPECT_NE(zip, nullptr) << "libzip cannot open " << archive << ": " << error;
  std::vector<std::pair<std::string, std::int32_t>> members;
  if (zip == nullptr) return members;
  for (zip_int64_t i = 0; i < zip_get_num_entries(zip, 0); ++i) {
    zip_stat_t stat;
    zip_stat_index(zip, static_cast<zip_uint64_t>(i), 0, &stat);
    members.emplace_back(stat.name, stat.comp_method);
  }
  zip_discard(zip);
  return members;
}

}  // namespace vela::zip::test
