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

}  // namespace vela::text
