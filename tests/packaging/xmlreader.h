// A small, strict reader of XML documents for the tests of the installer's policy template: it
// builds the element tree and refuses anything that is not well-formed (tags that do not match,
// a second root, attributes given twice or unquoted, unknown entities, bad UTF-8, a document type
// declaration). Namespaces are not resolved: names are kept as written.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace xmltest {

struct Element {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;  // values with references decoded
  std::vector<Element> children;
  std::string text;  // all character data directly inside, decoded, in document order

  const std::string* Attribute(const std::string& attributeName) const {
    for (const auto& [key, value] : attributes)
      if (key == attributeName) return &value;
    return nullptr;
  }
  std::string AttributeOr(const std::string& attributeName, const std::string& fallback = "") const {
    const std::string* value = Attribute(attributeName);
    return value ? *value : fallback;
  }
  const Element* Child(const std::string& childName) const {
    for (const Element& child : children)
      if (child.name == childName) return &child;
    return nullptr;
  }
  std::vector<const Element*> ChildrenNamed(const std::string& childName) const {
    std::vector<const Element*> found;
    for (const Element& child : children)
      if (child.name == childName) found.push_back(&child);
    return found;
  }
};

class Reader {
 public:
  explicit Reader(const std::string& text) : s_(text) {}

  // Parses the whole document into `root`; false with `error` ("offset N: what") otherwise.
  bool Parse(Element& root, std::string& error) {
    if (!ValidUtf8()) return Fail(error, "not UTF-8");
    if (s_.compare(0, 3, "\xEF\xBB\xBF") == 0) pos_ = 3;
    if (s_.compare(pos_, 5, "<?xml") == 0 && !Declaration()) return Fail(error, error_);
    if (!Misc()) return Fail(error, error_);
    if (!At("<")) return Fail(error, "no root element");
    if (!ElementAt(root, 0)) return Fail(error, error_);
    if (!Misc()) return Fail(error, error_);
    if (pos_ != s_.size()) return Fail(error, "content after the root element");
    return true;
  }

 private:
  static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
  static bool IsNameStart(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
  }
  static bool IsNameChar(unsigned char c) {
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
  }

  bool Fail(std::string& error, const std::string& what) {
    error = "offset " + std::to_string(pos_) + ": " + what;
    return false;
  }
  bool Error(const std::string& what) {
    error_ = what;
    return false;
  }
  bool At(const char* token) const { return s_.compare(pos_, std::char_traits<char>::length(token), token) == 0; }
  void SkipSpace() {
    while (pos_ < s_.size() && IsSpace(s_[pos_])) ++pos_;
  }

  bool ValidUtf8() const {
    for (size_t i = 0; i < s_.size();) {
      unsigned char c = static_cast<unsigned char>(s_[i]);
      size_t extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 4;
      if (extra > 3) return false;                          // a continuation byte or 0xF8..0xFF
      if (extra > 0 && i + extra >= s_.size()) return false;  // cut short at the end
      if (c < 0x20 && !IsSpace(static_cast<char>(c))) return false;  // control characters are not XML
      for (size_t k = 1; k <= extra; ++k)
        if ((static_cast<unsigned char>(s_[i + k]) & 0xC0) != 0x80) return false;
      i += extra + 1;
    }
    return true;
  }

  bool Name(std::string& name) {
    if (pos_ >= s_.size() || !IsNameStart(static_cast<unsigned char>(s_[pos_]))) return Error("name expected");
    size_t start = pos_;
    while (pos_ < s_.size() && IsNameChar(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    name = s_.substr(start, pos_ - start);
    return true;
  }

  static void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  // One reference after '&': the five predefined entities or a character reference.
  bool Reference(std::string& out) {
    size_t end = s_.find(';', pos_);
    if (end == std::string::npos || end - pos_ > 12) return Error("unterminated reference");
    std::string ref = s_.substr(pos_ + 1, end - pos_ - 1);
    static const std::pair<const char*, char> kEntities[] = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto& [entity, c] : kEntities) {
      if (ref == entity) {
        out += c;
        pos_ = end + 1;
        return true;
      }
    }
    if (ref.size() >= 2 && ref[0] == '#') {
      bool hex = ref[1] == 'x';
      std::string digits = ref.substr(hex ? 2 : 1);
      if (digits.empty()) return Error("empty character reference");
      uint32_t cp = 0;
      for (char d : digits) {
        int v = (d >= '0' && d <= '9') ? d - '0'
                : hex && (d >= 'a' && d <= 'f') ? d - 'a' + 10
                : hex && (d >= 'A' && d <= 'F') ? d - 'A' + 10
                                                : -1;
        if (v < 0 || cp > 0x10FFFF) return Error("bad character reference");
        cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(v);
      }
      if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return Error("bad character reference");
      AppendUtf8(out, cp);
      pos_ = end + 1;
      return true;
    }
    return Error("unknown entity &" + ref + ";");
  }

  bool Declaration() {
    size_t end = s_.find("?>", pos_);
    if (end == std::string::npos) return Error("unterminated XML declaration");
    std::string decl = s_.substr(pos_, end - pos_);
    if (decl.find("version=") == std::string::npos) return Error("XML declaration without version");
    pos_ = end + 2;
    return true;
  }

  // Comments, processing instructions and white space between the top-level parts.
  bool Misc() {
    for (;;) {
      SkipSpace();
      if (At("<!--")) {
        if (!Comment()) return false;
      } else if (At("<?")) {
        if (At("<?xml") && IsSpace(s_.size() > pos_ + 5 ? s_[pos_ + 5] : 'x'))
          return Error("XML declaration not at the start");
        size_t end = s_.find("?>", pos_);
        if (end == std::string::npos) return Error("unterminated processing instruction");
        pos_ = end + 2;
      } else if (At("<!DOCTYPE")) {
        return Error("document type declarations are not expected");
      } else {
        return true;
      }
    }
  }

  bool Comment() {
    size_t end = s_.find("--", pos_ + 4);
    if (end == std::string::npos || s_.compare(end, 3, "-->") != 0) return Error("bad comment");
    pos_ = end + 3;
    return true;
  }

  bool ElementAt(Element& element, int depth) {
    if (depth > 64) return Error("elements nested too deeply");
    ++pos_;  // '<'
    if (!Name(element.name)) return false;
    for (;;) {
      size_t before = pos_;
      SkipSpace();
      if (At("/>")) {
        pos_ += 2;
        return true;
      }
      if (At(">")) {
        ++pos_;
        break;
      }
      if (pos_ == before) return Error("space expected before an attribute");
      std::string key, value;
      if (!Name(key)) return false;
      SkipSpace();
      if (!At("=")) return Error("'=' expected after attribute " + key);
      ++pos_;
      SkipSpace();
      if (pos_ >= s_.size() || (s_[pos_] != '"' && s_[pos_] != '\'')) return Error("unquoted attribute " + key);
      char quote = s_[pos_++];
      while (pos_ < s_.size() && s_[pos_] != quote) {
        if (s_[pos_] == '<') return Error("'<' in attribute " + key);
        if (s_[pos_] == '&') {
          if (!Reference(value)) return false;
        } else {
          value += s_[pos_++];
        }
      }
      if (pos_ >= s_.size()) return Error("unterminated attribute " + key);
      ++pos_;
      if (element.Attribute(key)) return Error("attribute " + key + " given twice");
      element.attributes.emplace_back(key, value);
    }
    for (;;) {
      if (pos_ >= s_.size()) return Error("element " + element.name + " not closed");
      if (At("</")) {
        pos_ += 2;
        std::string closing;
        if (!Name(closing)) return false;
        if (closing != element.name) return Error("</" + closing + "> closes <" + element.name + ">");
        SkipSpace();
        if (!At(">")) return Error("'>' expected");
        ++pos_;
        return true;
      }
      if (At("<!--")) {
        if (!Comment()) return false;
      } else if (At("<![CDATA[")) {
        size_t end = s_.find("]]>", pos_);
        if (end == std::string::npos) return Error("unterminated CDATA section");
        element.text += s_.substr(pos_ + 9, end - pos_ - 9);
        pos_ = end + 3;
      } else if (At("<?")) {
        size_t end = s_.find("?>", pos_);
        if (end == std::string::npos) return Error("unterminated processing instruction");
        pos_ = end + 2;
      } else if (At("<")) {
        element.children.emplace_back();
        if (!ElementAt(element.children.back(), depth + 1)) return false;
      } else if (s_[pos_] == '&') {
        if (!Reference(element.text)) return false;
      } else {
        if (At("]]>")) return Error("']]>' in character data");
        element.text += s_[pos_++];
      }
    }
  }

  const std::string& s_;
  size_t pos_ = 0;
  std::string error_;
};

}  // namespace xmltest
