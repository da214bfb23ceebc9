// Members read in chunks sized to the file, joined across chunk boundaries, and many small members in one
// archive: whatever the level, a standard zip reader must read back every byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "unit/zip/ZipTestSupport.h"

namespace vela::zip::test {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

// Changes a file between the control's planning (its size is taken) and its packing.
class ResizeOnRename : public ZipEvents {
 public:
  void RenameCallback(std::string& storedName, std::string& path) override {
    if (storedName == "grows.dat") std::ofstream(path, std::ios::binary | std::ios::app) << "tail";
    if (storedName == "shrinks.dat") fs::resize_file(path, kChunk);
  }
};

// The standard unzip tool if installed, else Python's zipfile; empty when neither is there.
std::string StandardTest(const fs::path& archive) {
  if (fs::exists("/usr/bin/unzip")) return "/usr/bin/unzip -tqq '" + archive.string() + "' >/dev/null";
  if (std::system("python3 -c 'import zipfile' 2>/dev/null") == 0)
    return "python3 -c 'import sys, zipfile; sys.exit(zipfile.ZipFile(sys.argv[1]).testzip() is not None)' "
           "'" +
           archive.string() + "'";
  return {};
}

class CompressSizeTest : public ::testing::Test {
 protected:
  ZipOutcome Pack(const std::vector<fs::path>& files, int level, ZipEvents* events = nullptr) {
    ZipControl control(events);
    control.SetArchivePath(archive);
    control.SetFiles(files);
    control.SetCompressionLevel(level);
    if (level > 0) control.SetDeflateEffort(level);
    control.SetChunkSize(kChunk);
    control.SetThreads(2);
    return control.Pack();
  }

  fs::path Unpacked() {
    fs::remove_all(out);
    UnzipControl unzip;
    unzip.SetArchivePath(archive);
    unzip.SetDestination(out);
    EXPECT_EQ(unzip.Unpack(), UnzipOutcome::kCompleted);
    return out;
  }

  TempFolder folder;
  fs::path in = folder.path() / "in";
  fs::path out = folder.path() / "out";
  fs::path archive = folder.path() / "backup.zip";
};

TEST_F(CompressSizeTest, MembersAcrossChunkBoundariesReadBackAtEveryLevel) {
  // Exactly three chunks (the end found by an empty read), three and a bit, one byte short of one, empty.
  const std::vector<std::pair<std::string, std::string>> members = {
      {"exact.dat", SampleData(3 * kChunk, 1)},
      {"longer.dat", SampleData(3 * kChunk + 17, 2)},
      {"short.dat", SampleData(kChunk - 1, 3)},
      {"empty.dat", ""}};
  std::vector<fs::path> files;
  for (const auto& [name, content] : members) {
    WriteFile(in / name, content);
    files.push_back(in / name);
  }
  const std::string standard = StandardTest(archive);
  for (int level = 0; level <= kMaxCompressionLevel; ++level) {
    SCOPED_TRACE("level " + std::to_string(level));
    ASSERT_EQ(Pack(files, level), ZipOutcome::kCompleted);
    for (const auto& [name, content] : members) EXPECT_EQ(ReadFile(Unpacked() / name), content) << name;
    if (!standard.empty()) {
      EXPECT_EQ(std::system(standard.c_str()), 0);
    }
  }
}

TEST_F(CompressSizeTest, FilesThatChangeSizeAfterPlanningArePackedAsTheyAreRead) {
  const std::string grows = SampleData(2 * kChunk, 4);
  const std::string shrinks = SampleData(2 * kChunk + 5, 5);
  WriteFile(in / "grows.dat", grows);
  WriteFile(in / "shrinks.dat", shrinks);
  ResizeOnRename events;
  ASSERT_EQ(Pack({in / "grows.dat", in / "shrinks.dat"}, 9, &events), ZipOutcome::kCompleted);
  EXPECT_EQ(ReadFile(Unpacked() / "grows.dat"), grows + "tail");
  EXPECT_EQ(ReadFile(out / "shrinks.dat"), shrinks.substr(0, kChunk));
}

TEST_F(CompressSizeTest, ManySmallMembersFormOneStandardArchive) {
  const std::string standard = StandardTest(archive);
  if (standard.empty()) GTEST_SKIP() << "neither unzip nor python3 is installed";
  std::vector<fs::path> files;
  for (int i = 0; i < 300; ++i) {
    files.push_back(in / ("table" + std::to_string(i) + ".dat"));
    WriteFile(files.back(), SampleData(static_cast<std::size_t>(i) * 37, static_cast<unsigned>(i)));
  }
  ASSERT_EQ(Pack(files, 9), ZipOutcome::kCompleted);
  EXPECT_EQ(std::system(standard.c_str()), 0);
  EXPECT_EQ(ReadFile(Unpacked() / "table299.dat"), SampleData(299 * 37, 299));
  EXPECT_EQ(Members(archive).size(), files.size());
}

}  // namespace
}  // namespace vela::zip::test
