#include <gtest/gtest.h>

#include <functional>

#include "platform/text/Utf16File.h"
#include "support/TempFolder.h"
#include "unit/datafile/FileBytes.h"
#include "velabackup/Error.h"

namespace vela::text {
namespace {

using testing::ReadBytes;
using testing::TempFolder;
using testing::Utf16Le;
using testing::WriteBytes;

// Longer than one buffer of either stream, so that runs cross buffer boundaries.
std::u16string LongText() {
  std::u16string text;
  for (int i = 0; i < 300000; ++i) text += static_cast<char16_t>(0x20 + i % 0x3000);
  return text;
}

void ExpectError(const std::function<void()>& call, std::int32_t number, const std::string& part) {
  try {
    call();
    ADD_FAILURE() << "no error, expected one containing " << part;
  } catch (const Error& error) {
    EXPECT_EQ(error.Number(), number) << error.Description();
    EXPECT_NE(error.Description().find(part), std::string::npos) << error.Description();
  }
}

TEST(Utf16File, OutputWritesByteOrderMarkAndLittleEndianUnitsReplacingTheFile) {
  TempFolder folder;
  const auto path = folder.path() / "out.txt";
  WriteBytes(path, testing::ByteString(1000000, 'x'));
  const std::u16string text = u"A\x20AC" + LongText();
  Utf16OutputFile out(path);
  out.Put(text[0]);
  out.Write(std::u16string_view(text).substr(1));
  out.Close();
  EXPECT_EQ(ReadBytes(path), Utf16Le(text));
}

TEST(Utf16File, InputReadsUnitsAndCountedRunsAndKnowsWhatRemains) {
  TempFolder folder;
  const auto path = folder.path() / "in.txt";
  const std::u16string text = u"[\xD834\xDD1E]" + LongText();
  WriteBytes(path, Utf16Le(text));

  Utf16InputFile in(path);
  EXPECT_TRUE(in.HasByteOrderMark());
  EXPECT_EQ(in.Remaining(), text.size());
  EXPECT_EQ(in.Get(), u'[');
  std::u16string run;
  in.Read(2, run);
  EXPECT_EQ(run, u"\xD834\xDD1E");
  EXPECT_EQ(in.Get(), u']');
  EXPECT_EQ(in.Position(), 4u);
  EXPECT_EQ(in.ByteOffset(in.Position()), 10u);
  ExpectError([&] { in.Read(text.size(), run); }, kBadFileFormat,
              "runs past the end of the file " + path.string());
  in.Read(text.size() - 4, run);
  EXPECT_EQ(run, text.substr(4));
  EXPECT_TRUE(in.AtEnd());
  ExpectError([&] { in.Get(); }, kBadFileFormat, path.string());
}

TEST(Utf16File, InputWithoutByteOrderMarkReadsFromTheFirstByteAndIgnoresAnOddLastByte) {
  TempFolder folder;
  const auto path = folder.path() / "plain.txt";
  auto bytes = Utf16Le(u"[1]", false);
  bytes.push_back('!');
  WriteBytes(path, bytes);
  Utf16InputFile in(path);
  EXPECT_FALSE(in.HasByteOrderMark());
  EXPECT_EQ(in.Remaining(), 3u);
  std::u16string run;
  in.Read(3, run);
  EXPECT_EQ(run, u"[1]");
  EXPECT_TRUE(in.AtEnd());
}

TEST(Utf16File, FailuresNameThePath) {
  TempFolder folder;
  const auto missing = folder.path() / "missing" / "file.txt";
  ExpectError([&] { Utf16InputFile in(missing); }, kFileNotFound, missing.string());
  ExpectError([&] { Utf16OutputFile out(missing); }, kPathAccess, missing.string());
  ExpectError(
      [] {
        Utf16OutputFile full("/dev/full");  // every write fails as on a full disk
        full.Put(u'x');
        full.Close();
      },
      kPathAccess, "/dev/full: No space left on device");
}

}  // namespace
}  // namespace vela::text
