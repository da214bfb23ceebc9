// UTF-8 <-> UTF-16, the one conversion between the library's texts (UTF-8 std::string) and the UTF-16 units
// of the table data file.
//
// A database text is whatever bytes the engine holds, not always valid UTF-8, and a backup must give back
// exactly those bytes. So the conversion from UTF-8 is lossless: a byte that does not belong to a well-formed
// UTF-8 sequence (a stray continuation byte, a truncated or overlong sequence, an encoded surrogate, a code
// point above U+10FFFF) becomes the lone low surrogate U+DC80 + byte ("surrogate escape"), and the way back
// turns that unit into the same byte. Characters beyond the BMP become surrogate pairs; lengths count
// UTF-16 code units.
//
// UTF-16 that did not come from this conversion may hold other lone surrogates (D800..DC7F, DD00..DFFF);
// they become their generalized three-byte form (ED xx xx) so that no unit is silently dropped.
//
// Both directions run over hundreds of megabytes during a backup: they take a fast path over runs of ASCII
// and never allocate beyond growing the output once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vela::text {

// Appends the UTF-16 form of `utf8` to `out`.
void AppendUtf16(std::string_view utf8, std::u16string& out);
std::u16string ToUtf16(std::string_view utf8);

// Appends the UTF-8 form of `utf16` to `out`.
void AppendUtf8(std::u16string_view utf16, std::string& out);
std::string ToUtf8(std::u16string_view utf16);

// The number of UTF-16 code units ToUtf16 would produce, without producing them.
std::size_t Utf16Length(std::string_view utf8);

// Long texts go piece by piece, never converted whole; the pieces' conversions, one after the other, are
// exactly the conversion of the whole.
//
// From UTF-8: the length of the first piece of `utf8` to convert, at most `most` bytes and, when `utf8`
// is longer, at least `most` - 3: it never ends inside a character.
std::size_t Utf8PieceLength(std::string_view utf8, std::size_t most);

// To UTF-8: the pieces are handed over in order, as they come; a high surrogate that ends one piece waits
// for the next, which may begin with its low half.
class Utf8Pieces {
 public:
  void Append(std::u16string_view piece, std::string& out);
  void Finish(std::string& out);  // after the last piece

 private:
  char16_t held_ = 0;  // a high surrogate that ended the piece before; 0 for none
};

}  // namespace vela::text
