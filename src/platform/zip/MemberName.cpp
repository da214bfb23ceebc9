#include "platform/zip/MemberName.h"

namespace vela::zip {

std::string CheckMemberName(std::string_view name, std::vector<std::string>& parts) {
  parts.clear();
  if (name.empty()) return "is empty";
  if (name.find('\\') != std::string_view::npos) return "uses a backslash as a folder separator";
  if (name.front() == '/') return "is an absolute path";
  bool letter = (name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z');
  if (name.size() >= 2 && letter && name[1] == ':') return "starts with a drive letter";
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    std::string_view part = name.substr(start, end - start);
    if (part == "..") return "climbs out of the destination folder with \"..\"";
    if (!part.empty() && part != ".") parts.emplace_back(part);
    start = end + 1;
  }
  if (parts.empty()) return "names no file";
  return {};
}

}  // namespace vela::zip
