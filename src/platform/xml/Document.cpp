#include "platform/xml/Document.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/utils/FileDescriptor.h"
#include "velabackup/Error.h"

namespace vela::xml {
namespace {

constexpr const char* kSource = kSourceXml;

// Elements are created detached: pugixml has no detached nodes, so new elements wait as children of a
// hidden holder at the document's end until they are appended where they belong.
constexpr const char* kHolder = "vela-detached";

pugi::xml_node Holder(pugi::xml_node document) {
  pugi::xml_node holder = document.child(kHolder);
  return holder ? holder : document.append_child(kHolder);
}

}  // namespace

Element Element::CreateElement(std::string_view name) const {
  return Element(Holder(node_.root()).append_child(std::string(name).c_str()));
}

Element Element::AppendChild(Element child) {
  pugi::xml_node moved = node_.append_move(child.node_);
  if (!moved) throw Error(kInvalidArgument, kSource, "Cannot append element " + child.NodeName());
  return Element(moved);
}

void Element::SetAttribute(std::string_view name, std::string_view value) {
  std::string key(name);
  pugi::xml_attribute attribute = node_.attribute(key.c_str());
  if (!attribute) attribute = node_.append_attribute(key.c_str());
  attribute.set_value(std::string(value).c_str());
}

void Element::SetAttribute(std::string_view name, std::int64_t value) {
  SetAttribute(name, std::to_string(value));
}

void Element::SetBooleanAttribute(std::string_view name, bool value) {
  SetAttribute(name, value ? "True" : "False");
}

std::optional<std::string> Element::Attribute(std::string_view name) const {
  pugi::xml_attribute attribute = node_.attribute(std::string(name).c_str());
  if (!attribute) return std::nullopt;
  return std::string(attribute.value());
}

Element Element::FirstChild() const {
  for (pugi::xml_node child = node_.first_child(); child; child = child.next_sibling())
    if (child.type() == pugi::node_element) return Element(child);
  return Element();
}

std::vector<Element> Element::Children() const {
  std::vector<Element> children;
  for (pugi::xml_node child = node_.first_child(); child; child = child.next_sibling())
    if (child.type() == pugi::node_element) children.emplace_back(child);
  return children;
}

Document::Document() : document_(std::make_unique<pugi::xml_document>()) {}
Document::~Document() = default;
Document::Document(Document&&) noexcept = default;
Document& Document::operator=(Document&&) noexcept = default;

Element Document::CreateElement(std::string_view name) {
  return Element(Holder(*document_).append_child(std::string(name).c_str()));
}

Element Document::SetDocumentElement(Element root) {
  pugi::xml_node holder = document_->child(kHolder);
  pugi::xml_node moved = document_->prepend_move(root.Node());
  if (holder && !holder.first_child()) document_->remove_child(holder);
  return Element(moved);
}

Element Document::DocumentElement() const {
  for (pugi::xml_node child = document_->first_child(); child; child = child.next_sibling())
    if (child.type() == pugi::node_element && std::string_view(child.name()) != kHolder)
      return Element(child);
  return Element();
}

namespace {

// Writes the document without the holder of detached elements.
void Write(const pugi::xml_document& document, pugi::xml_writer& writer) {
  for (pugi::xml_node child = document.first_child(); child; child = child.next_sibling()) {
    if (std::string_view(child.name()) == kHolder) continue;
    child.print(writer, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
  }
}

}  // namespace

std::string Document::Text() const {
  struct Text : pugi::xml_writer {
    void write(const void* data, size_t size) override { text.append(static_cast<const char*>(data), size); }
    std::string text;
  } out;
  Write(*document_, out);
  return std::move(out.text);
}

void Document::Save(const std::string& path) const {
  // The document is held whole already; it is written in one piece, through the one file writer.
  const std::string text = Text();
  utils::FileDescriptor file = utils::FileDescriptor::CreateNew(path.c_str());
  std::error_code error = file.IsOpen() ? file.WriteAll(text.data(), text.size())
                                        : std::error_code(errno, std::generic_category());
  if (!error) error = file.Close();
  if (error)
    throw Error(kPathAccess, kSource, "Cannot write the backup document " + path + ": " + error.message());
}

namespace {

constexpr unsigned kParseOptions = pugi::parse_default & ~pugi::parse_doctype;

void RequireParsed(const pugi::xml_parse_result& result, const std::string& name) {
  if (!result)
    throw Error(kBadFileFormat, kSource,
                "The backup document " + name + " cannot be read: " + result.description() + " at offset " +
                    std::to_string(result.offset));
}

}  // namespace

Document Document::Load(const std::string& path) {
  Document document;
  RequireParsed(document.document_->load_file(path.c_str(), kParseOptions, pugi::encoding_auto), path);
  return document;
}

Document Document::Parse(std::string_view text, const std::string& name) {
  Document document;
  RequireParsed(document.document_->load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_auto),
                name);
  return document;
}

}  // namespace vela::xml
