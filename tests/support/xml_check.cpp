#include "support/xml_check.h"

#include <cctype>
#include <string>
#include <vector>

namespace tolvo::test {
namespace {

bool AllowedCharacter(char32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// The position of the first byte that is not part of a well-formed UTF-8 sequence of an
// allowed character, or npos.
std::size_t FirstBadByte(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return i;
    char32_t code = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return i;
      code = (code << 6) | (next & 0x3F);
    }
    const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || !AllowedCharacter(code)) return i;
    i += length;
  }
  return std::string_view::npos;
}

class Checker {
 public:
  explicit Checker(std::string_view text) : text_(text) {}

  std::string Run() {
    if (const std::size_t bad = FirstBadByte(text_); bad != std::string_view::npos) return Fail("bad character", bad);
    if (text_.starts_with("<?xml") && !SkipPast("?>")) return problem_;
    SkipMisc();
    if (!Element()) return problem_.empty() ? Fail("no root element", pos_) : problem_;
    SkipMisc();
    if (pos_ != text_.size()) return Fail("text after the root element", pos_);
    return {};
  }

 private:
  std::string Fail(const std::string& what, std::size_t at) {
    if (problem_.empty()) problem_ = what + " at byte " + std::to_string(at);
    return problem_;
  }
  bool Failed(const std::string& what) {
    Fail(what, pos_);
    return false;
  }
  bool At(std::string_view s) const { return text_.substr(pos_).starts_with(s); }
  bool SkipPast(std::string_view end) {
    const std::size_t at = text_.find(end, pos_);
    if (at == std::string_view::npos) return Failed("missing \"" + std::string(end) + "\"");
    pos_ = at + end.size();
    return true;
  }
  void SkipSpace() {
    while (pos_ < text_.size() && std::string_view(" \t\r\n").find(text_[pos_]) != std::string_view::npos) ++pos_;
  }
  void SkipMisc() {
    for (;;) {
      SkipSpace();
      if (At("<!--")) {
        if (!SkipPast("-->")) return;
      } else if (At("<?")) {
        if (!SkipPast("?>")) return;
      } else {
        return;
      }
    }
  }
  static bool NameStart(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == ':' || static_cast<unsigned char>(c) >= 0x80;
  }
  static bool NameChar(char c) {
    return NameStart(c) || std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '.';
  }
  bool Name(std::string& name) {
    const std::size_t start = pos_;
    if (pos_ >= text_.size() || !NameStart(text_[pos_])) return Failed("name expected");
    while (pos_ < text_.size() && NameChar(text_[pos_])) ++pos_;
    name = std::string(text_.substr(start, pos_ - start));
    return true;
  }
  // At "&": a predefined entity or a character reference.
  bool Reference() {
    const std::size_t semicolon = text_.find(';', pos_);
    if (semicolon == std::string_view::npos) return Failed("unterminated reference");
    const std::string_view body = text_.substr(pos_ + 1, semicolon - pos_ - 1);
    bool ok = body == "amp" || body == "lt" || body == "gt" || body == "apos" || body == "quot";
    if (!ok && body.starts_with("#")) {
      const bool hex = body.starts_with("#x");
      const std::string_view digits = body.substr(hex ? 2 : 1);
      char32_t code = 0;
      ok = !digits.empty() && digits.size() <= 8;
      for (const char c : digits) {
        const bool digit = hex ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c));
        if (!digit) ok = false;
        if (ok) code = code * (hex ? 16 : 10) + static_cast<char32_t>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10);
      }
      ok = ok && AllowedCharacter(code);
    }
    if (!ok) return Failed("bad reference");
    pos_ = semicolon + 1;
    return true;
  }
  bool Attributes() {
    std::vector<std::string> names;
    for (;;) {
      const std::size_t before = pos_;
      SkipSpace();
      if (At("/>") || At(">")) return true;
      if (pos_ == before) return Failed("space expected before an attribute");
      std::string name;
      if (!Name(name)) return false;
      for (const std::string& seen : names) {
        if (seen == name) return Failed("repeated attribute " + name);
      }
      names.push_back(name);
      SkipSpace();
      if (!At("=")) return Failed("\"=\" expected");
      ++pos_;
      SkipSpace();
      if (pos_ >= text_.size() || (text_[pos_] != '"' && text_[pos_] != '\'')) return Failed("quote expected");
      const char quote = text_[pos_++];
      while (pos_ < text_.size() && text_[pos_] != quote) {
        if (text_[pos_] == '<') return Failed("\"<\" in an attribute value");
        if (text_[pos_] == '&') {
          if (!Reference()) return false;
        } else {
          ++pos_;
        }
      }
      if (pos_ >= text_.size()) return Failed("unterminated attribute value");
      ++pos_;
    }
  }
  bool Element() {
    if (!At("<")) return false;
    ++pos_;
    std::string name;
    if (!Name(name) || !Attributes()) return false;
    if (At("/>")) {
      pos_ += 2;
      return true;
    }
    ++pos_;  // ">"
    for (;;) {
      if (pos_ >= text_.size()) return Failed("element " + name + " not closed");
      if (At("</")) {
        pos_ += 2;
        std::string closing;
        if (!Name(closing)) return false;
        if (closing != name) return Failed("</" + closing + "> closes <" + name + ">");
        SkipSpace();
        if (!At(">")) return Failed("\">\" expected");
        ++pos_;
        return true;
      }
      if (At("<!--") || At("<?")) {
        if (!SkipPast(At("<!--") ? "-->" : "?>")) return false;
      } else if (At("<")) {
        if (!Element()) return false;
      } else if (At("&")) {
        if (!Reference()) return false;
      } else if (At("]]>")) {
        return Failed("\"]]>\" in text");
      } else {
        ++pos_;
      }
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::string problem_;
};

}  // namespace

std::string XmlProblem(std::string_view document) { return Checker(document).Run(); }

}  // namespace tolvo::test
