#include "platform/text/CodePage.h"

#include <array>
#include <cstdio>

#include "velabackup/Error.h"

namespace vela::text {
namespace {

// Bytes 0x80 .. 0x9F; the rest of the code page is Latin-1.
constexpr std::array<char16_t, 32> kBytes80To9F = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80 .. 87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88 .. 8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90 .. 97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98 .. 9F
};

constexpr char16_t ByteToUnit(unsigned byte) {
  return byte >= 0x80 && byte < 0xA0 ? kBytes80To9F[byte - 0x80] : static_cast<char16_t>(byte);
}

constexpr auto MakeForward() {
  std::array<char16_t, 256> table{};
  for (unsigned b = 0; b < 256; ++b) table[b] = ByteToUnit(b);
  return table;
}
constexpr auto kForward = MakeForward();

// The reverse, in three windows that hold every mapped unit: 0000..00FF, 0150..02DF, 2000..212F.
// -1 marks a unit outside the code page.
struct ReverseWindow {
  char16_t first;
  std::array<std::int16_t, 0x190> bytes;
};

constexpr ReverseWindow MakeWindow(char16_t first) {
  ReverseWindow window{first, {}};
  for (auto& b : window.bytes) b = -1;
  for (unsigned b = 0; b < 256; ++b) {
    const char16_t unit = kForward[b];
    if (unit >= first && unit < first + window.bytes.size())
      window.bytes[unit - first] = static_cast<std::int16_t>(b);
  }
  return window;
}
constexpr ReverseWindow kLatin = MakeWindow(0x0000);
constexpr ReverseWindow kLetters = MakeWindow(0x0150);
constexpr ReverseWindow kPunctuation = MakeWindow(0x2000);

static_assert(kLatin.bytes[0x80] == -1 && kLatin.bytes[0x81] == 0x81 && kLatin.bytes[0xFF] == 0xFF);
static_assert(kPunctuation.bytes[0x20AC - 0x2000] == 0x80 && kLetters.bytes[0x0178 - 0x0150] == 0x9F);

inline int UnitToByte(char16_t unit) {
  for (const ReverseWindow* window : {&kLatin, &kLetters, &kPunctuation}) {
    const unsigned offset = static_cast<unsigned>(unit) - window->first;
    if (offset < window->bytes.size()) return window->bytes[offset];
  }
  return -1;
}

[[noreturn]] void Unmappable(char16_t unit, std::size_t position) {
  char text[128];
  std::snprintf(
      text, sizeof text,
      "Character U+%04X at position %zu of a binary value has no byte in the code page (Windows-1252)",
      static_cast<unsigned>(unit), position);
  throw Error(kTypeMismatch, kSourceComponent, text);
}

}  // namespace

void AppendBytesAsText(std::span<const std::uint8_t> bytes, std::u16string& out) {
  const std::size_t start = out.size();
  out.resize(start + bytes.size());
  char16_t* o = out.data() + start;
  for (std::uint8_t b : bytes) *o++ = kForward[b];
}

std::u16string BytesToText(std::span<const std::uint8_t> bytes) {
  std::u16string out;
  AppendBytesAsText(bytes, out);
  return out;
}

void AppendTextAsBytes(std::u16string_view text, std::vector<std::uint8_t>& out, std::size_t position) {
  const std::size_t start = out.size();
  out.resize(start + text.size());
  std::uint8_t* o = out.data() + start;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const int b = UnitToByte(text[i]);
    if (b < 0) {
      out.resize(start);
      Unmappable(text[i], position + i);
    }
    o[i] = static_cast<std::uint8_t>(b);
  }
}

std::vector<std::uint8_t> TextToBytes(std::u16string_view text) {
  std::vector<std::uint8_t> out;
  AppendTextAsBytes(text, out);
  return out;
}

}  // namespace vela::text
