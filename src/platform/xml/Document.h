// The backup document's DOM: a small wrapper over pugixml with the operations the component uses
// (create elements, set and read attributes, append and walk children, save and load).
//
// Documents are saved as UTF-8 without an XML declaration and without added whitespace. Loading accepts
// untrusted text: no external entities, no DTD processing; a malformed document fails with a vela::Error
// naming the file and the offset.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

namespace vela::xml {

class Element {
 public:
  Element() = default;
  explicit Element(pugi::xml_node node) : node_(node) {}

  explicit operator bool() const { return static_cast<bool>(node_); }
  std::string NodeName() const { return node_.name(); }

  // Creates an element in the same document (not yet attached).
  Element CreateElement(std::string_view name) const;
  // Appends `child` (made by CreateElement) and returns it.
  Element AppendChild(Element child);

  void SetAttribute(std::string_view name, std::string_view value);
  void SetAttribute(std::string_view name, const char* value) { SetAttribute(name, std::string_view(value)); }
  void SetAttribute(std::string_view name, std::int64_t value);
  void SetAttribute(std::string_view name, int value) {
    SetAttribute(name, static_cast<std::int64_t>(value));
  }
  // Booleans handed over as typed values get the words True / False.
  void SetBooleanAttribute(std::string_view name, bool value);

  std::optional<std::string> Attribute(std::string_view name) const;
  bool HasAttribute(std::string_view name) const { return Attribute(name).has_value(); }

  // First child element (text and comments are passed over); empty when none.
  Element FirstChild() const;
  std::vector<Element> Children() const;

  pugi::xml_node Node() const { return node_; }

 private:
  pugi::xml_node node_;
};

class Document {
 public:
  Document();
  ~Document();
  Document(Document&&) noexcept;
  Document& operator=(Document&&) noexcept;

  Element CreateElement(std::string_view name);
  // Makes `root` the document element.
  Element SetDocumentElement(Element root);
  Element DocumentElement() const;

  void Save(const std::string& path) const;
  std::string Text() const;  // what Save writes
  static Document Load(const std::string& path);
  // The same from the document's text; `name` stands for the path in the failure.
  static Document Parse(std::string_view text, const std::string& name);

 private:
  std::unique_ptr<pugi::xml_document> document_;
};

}  // namespace vela::xml
