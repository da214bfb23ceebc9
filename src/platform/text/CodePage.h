// The single-byte code page that carries binary values through the UTF-16 table data file.
//
// Binary column values are stored as text, one character per byte. The mapping is Windows-1252, the code
// page of the Western Windows machines whose backups this library reads, with its five undefined bytes
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) mapped to the control characters U+0081 ... U+009D of the same value, so
// that every byte value has a character and every byte array round-trips.
//
// Both directions work on UTF-16 units, the data file's own form, so a binary value goes between bytes and
// the file without passing through UTF-8.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vela::text {

// One unit per byte, appended to `out`.
void AppendBytesAsText(std::span<const std::uint8_t> bytes, std::u16string& out);
std::u16string BytesToText(std::span<const std::uint8_t> bytes);

// One byte per unit, appended to `out`. A unit outside the code page (for example U+0080, or any character
// of another script) throws vela::Error (kTypeMismatch) naming the character and its position in `text`:
// dropping or replacing it would silently change the stored bytes. A long value goes piece by piece:
// `position` is where `text` starts within the whole value, for the message.
void AppendTextAsBytes(std::u16string_view text, std::vector<std::uint8_t>& out, std::size_t position = 0);
std::vector<std::uint8_t> TextToBytes(std::u16string_view text);

}  // namespace vela::text
