#include "platform/text/Utf16.h"

#include <cstdint>
#include <cstring>

namespace vela::text {
namespace {

constexpr char16_t kEscapeBase = 0xDC00;  // an undecodable byte b travels as U+DC00 + b (b >= 0x80)

bool IsContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

bool IsHighSurrogate(char16_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}

// Decodes the well-formed multi-byte sequence at `p` (n >= 1 bytes available, p[0] >= 0x80) and returns its
// length, or 0 when p[0] does not start one. Only the shortest forms of scalar values are well-formed, so
// every byte string has exactly one reading and the way back reproduces it.
inline int DecodeSequence(const unsigned char* p, std::size_t n, char32_t& cp) {
  const unsigned c = p[0];
  if (c >= 0xC2 && c <= 0xDF) {
    if (n < 2 || !IsContinuation(p[1])) return 0;
    cp = ((c & 0x1F) << 6) | (p[1] & 0x3F);
    return 2;
  }
  if (c >= 0xE0 && c <= 0xEF) {
    const unsigned lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;  // no overlongs, no surrogates
    if (n < 3 || p[1] < lo || p[1] > hi || !IsContinuation(p[2])) return 0;
    cp = ((c & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    const unsigned lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;  // U+10000 .. U+10FFFF
    if (n < 4 || p[1] < lo || p[1] > hi || !IsContinuation(p[2]) || !IsContinuation(p[3])) return 0;
    cp = ((c & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) | (p[3] & 0x3F);
    return 4;
  }
  return 0;
}

bool AllAscii8(const unsigned char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return (word & 0x8080808080808080ull) == 0;
}

// Writes at most n units (one per byte at worst) to `out`; returns the number written.
std::size_t Utf8ToUtf16(const unsigned char* p, std::size_t n, char16_t* out) {
  char16_t* o = out;
  std::size_t i = 0;
  while (i < n) {
    while (i + 8 <= n && AllAscii8(p + i)) {
      for (int k = 0; k < 8; ++k) o[k] = p[i + k];
      o += 8;
      i += 8;
    }
    if (i == n) break;
    const unsigned char c = p[i];
    if (c < 0x80) {
      *o++ = c;
      ++i;
      continue;
    }
    char32_t cp;
    const int length = DecodeSequence(p + i, n - i, cp);
    if (length == 0) {
      *o++ = static_cast<char16_t>(kEscapeBase + c);
      ++i;
    } else if (cp < 0x10000) {
      *o++ = static_cast<char16_t>(cp);
      i += length;
    } else {
      cp -= 0x10000;
      *o++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *o++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
      i += length;
    }
  }
  return static_cast<std::size_t>(o - out);
}

bool AllAscii4(const char16_t* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return (word & 0xFF80FF80FF80FF80ull) == 0;
}

// Writes at most 3 bytes per unit to `out`; returns the number written.
std::size_t Utf16ToUtf8(const char16_t* p, std::size_t n, char* out) {
  char* o = out;
  std::size_t i = 0;
  while (i < n) {
    while (i + 4 <= n && AllAscii4(p + i)) {
      for (int k = 0; k < 4; ++k) o[k] = static_cast<char>(p[i + k]);
      o += 4;
      i += 4;
    }
    if (i == n) break;
    const char32_t u = p[i++];
    if (u < 0x80) {
      *o++ = static_cast<char>(u);
    } else if (u < 0x800) {
      *o++ = static_cast<char>(0xC0 | (u >> 6));
      *o++ = static_cast<char>(0x80 | (u & 0x3F));
    } else if (u >= 0xD800 && u <= 0xDBFF && i < n && p[i] >= 0xDC00 && p[i] <= 0xDFFF) {
      const char32_t cp = 0x10000 + ((u - 0xD800) << 10) + (p[i++] - 0xDC00);
      *o++ = static_cast<char>(0xF0 | (cp >> 18));
      *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (u >= kEscapeBase + 0x80 && u <= kEscapeBase + 0xFF) {
      *o++ = static_cast<char>(u - kEscapeBase);
    } else {  // the rest of the BMP, and lone surrogates in their generalized form
      *o++ = static_cast<char>(0xE0 | (u >> 12));
      *o++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  return static_cast<std::size_t>(o - out);
}

}  // namespace

void AppendUtf16(std::string_view utf8, std::u16string& out) {
  const std::size_t start = out.size();
  out.resize(start + utf8.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(utf8.data());
  out.resize(start + Utf8ToUtf16(bytes, utf8.size(), out.data() + start));
}

std::u16string ToUtf16(std::string_view utf8) {
  std::u16string out;
  AppendUtf16(utf8, out);
  return out;
}

void AppendUtf8(std::u16string_view utf16, std::string& out) {
  const std::size_t start = out.size();
  out.resize(start + 3 * utf16.size());
  out.resize(start + Utf16ToUtf8(utf16.data(), utf16.size(), out.data() + start));
}

std::string ToUtf8(std::u16string_view utf16) {
  std::string out;
  AppendUtf8(utf16, out);
  return out;
}

std::size_t Utf16Length(std::string_view utf8) {
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const std::size_t n = utf8.size();
  std::size_t units = 0, i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      ++units;
      ++i;
      continue;
    }
    char32_t cp;
    const int length = DecodeSequence(p + i, n - i, cp);
    units += length == 4 ? 2 : 1;
    i += length == 0 ? 1 : length;
  }
  return units;
}

std::size_t Utf8PieceLength(std::string_view utf8, std::size_t most) {
  if (utf8.size() <= most) return utf8.size();
  // A sequence is at most four bytes, a lead and its continuations. A cut before a byte that is no
  // continuation, or before the fourth of four continuations in a row, leaves every well-formed sequence
  // whole on one side; a lead whose sequence the cut ends early fails in its piece as it fails within the
  // whole text, where the byte after the cut is no continuation either.
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  for (std::size_t cut = most; cut + 4 > most && cut > 0; --cut)
    if (!IsContinuation(p[cut])) return cut;
  return most;
}

void Utf8Pieces::Append(std::u16string_view piece, std::string& out) {
  if (piece.empty()) return;
  if (held_ != 0) {
    const char16_t pair[2] = {held_, piece.front()};
    const bool joined = piece.front() >= 0xDC00 && piece.front() <= 0xDFFF;
    AppendUtf8(std::u16string_view(pair, joined ? 2 : 1), out);
    held_ = 0;
    if (joined) piece.remove_prefix(1);
    if (piece.empty()) return;
  }
  if (IsHighSurrogate(piece.back())) {
    held_ = piece.back();
    piece.remove_suffix(1);
  }
  AppendUtf8(piece, out);
}

void Utf8Pieces::Finish(std::string& out) {
  if (held_ == 0) return;
  AppendUtf8(std::u16string_view(&held_, 1), out);
  held_ = 0;
}

}  // namespace vela::text
