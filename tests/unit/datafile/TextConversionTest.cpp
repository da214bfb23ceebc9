#include <gtest/gtest.h>

#include <random>

#include "platform/text/CodePage.h"
#include "platform/text/Utf16.h"
#include "velabackup/Error.h"

namespace vela::text {
namespace {

TEST(Utf16, CharactersBeyondTheBmpAreSurrogatePairsCountedAsTwoUnits) {
  const std::string clef = "a\xF0\x9D\x84\x9E\xC3\xA9\xE2\x82\xAC";  // a, U+1D11E, e acute, euro sign
  EXPECT_EQ(ToUtf16(clef), u"a\xD834\xDD1E\x00E9\x20AC");
  EXPECT_EQ(Utf16Length(clef), 5u);
  EXPECT_EQ(ToUtf8(u"a\xD834\xDD1E\x00E9\x20AC"), clef);
}

TEST(Utf16, BytesThatAreNotUtf8TravelAsEscapesAndComeBackUnchanged) {
  EXPECT_EQ(ToUtf16("a\xFF"
                    "b\x80"),
            u"a\xDCFF"
            "b\xDC80");
  EXPECT_EQ(ToUtf16("\xC0\xAF"), u"\xDCC0\xDCAF");            // overlong "/"
  EXPECT_EQ(ToUtf16("\xED\xA0\x80"), u"\xDCED\xDCA0\xDC80");  // an encoded surrogate
  EXPECT_EQ(ToUtf16("\xE2\x82"
                    "A"),
            u"\xDCE2\xDC82"
            "A");  // truncated sequence
  for (std::string bad :
       {"\xF4\x90\x80\x80", "\xF0\x9D\x84", "x\xC3", "\xC3\xC3\xA9", "\xF8\x88\x80\x80\x80"}) {
    EXPECT_EQ(ToUtf8(ToUtf16(bad)), bad);
    EXPECT_EQ(Utf16Length(bad), ToUtf16(bad).size());
  }
}

TEST(Utf16, RandomBytesRoundTrip) {
  std::mt19937 random(20240611);
  const std::string pieces[] = {"plain ascii run ", "\xC3\xA9", "\xE2\x82\xAC",
                                "\xF0\x9F\x98\x80", "\x80",     "\xFF"};
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int length = random() % 40;
    for (int i = 0; i < length; ++i) {
      if (random() % 2) {
        text += static_cast<char>(random() % 256);
      } else {
        text += pieces[random() % std::size(pieces)];
      }
    }
    const std::u16string units = ToUtf16(text);
    ASSERT_EQ(ToUtf8(units), text) << round;
    ASSERT_EQ(Utf16Length(text), units.size()) << round;
  }
}

TEST(Utf16, LoneSurrogatesFromElsewhereAreKept) {
  EXPECT_EQ(ToUtf8(u"\xD800x"), "\xED\xA0\x80x");  // high surrogate without its pair
  EXPECT_EQ(ToUtf8(u"\xDC41"), "\xED\xB1\x81");    // low surrogate below the escapes
  EXPECT_EQ(ToUtf8(u"\xDCE9"), "\xE9");            // an escape becomes its byte
}

TEST(CodePage, EveryByteRoundTripsAndOnlyThoseUnitsMapBack) {
  std::vector<std::uint8_t> all(256);
  for (int b = 0; b < 256; ++b) all[b] = static_cast<std::uint8_t>(b);
  const std::u16string text = BytesToText(all);
  ASSERT_EQ(text.size(), 256u);
  EXPECT_EQ(text[0x41], u'A');
  EXPECT_EQ(text[0x80], u'\x20AC');
  EXPECT_EQ(text[0x81], u'\x0081');
  EXPECT_EQ(text[0x8D], u'\x008D');
  EXPECT_EQ(text[0x9D], u'\x009D');
  EXPECT_EQ(text[0x9F], u'\x0178');
  EXPECT_EQ(text[0xA0], u'\x00A0');
  EXPECT_EQ(TextToBytes(text), all);

  int mapped = 0;
  for (unsigned u = 0; u < 0x10000; ++u) {
    const std::u16string unit(1, static_cast<char16_t>(u));
    try {
      const auto bytes = TextToBytes(unit);
      ASSERT_EQ(BytesToText(bytes), unit);
      ++mapped;
    } catch (const Error&) {
    }
  }
  EXPECT_EQ(mapped, 256);
}

TEST(CodePage, UnitOutsideTheCodePageFailsWithItsPosition) {
  try {
    TextToBytes(u"ab\x4E00");
    FAIL();
  } catch (const Error& error) {
    EXPECT_EQ(error.Number(), kTypeMismatch);
    EXPECT_NE(error.Description().find("U+4E00 at position 2"), std::string::npos) << error.Description();
  }
  EXPECT_THROW(TextToBytes(u"\x0080"), Error);  // byte 0x80 is the euro sign, not U+0080
}

}  // namespace
}  // namespace vela::text
