#include "tools/reg_file.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <utility>

namespace ambercrypt::regfile {
namespace {

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
// Hex data lines are continued once they reach this many characters, as the
// registry editor does.
constexpr size_t kHexLineLimit = 77;
// The registry's limits, in UTF-16 code units as Windows counts characters.
constexpr size_t kMaxValueNameLength = 16383;
constexpr size_t kMaxKeyNameLength = 255;
// What a message shows of a name or a line.
constexpr size_t kMessageLimit = 256;
const char kHeader[] = "Windows Registry Editor Version 5.00";

// ---- Text ---------------------------------------------------------------------
// One decoder for each encoding; everything that reads text goes through them.

// NextUtf8: the code point at text[*pos], with *pos moved past it. False, and
// *pos unchanged, when the bytes there are not the shortest UTF-8 form of a
// Unicode scalar value: an overlong form (C0 A2 is no '"'), a surrogate, more
// than U+10FFFF, a sequence cut short, a continuation byte on its own.
bool NextUtf8(const std::string &text, size_t *pos, uint32_t *c) {
  const size_t i = *pos;
  const uint8_t lead = static_cast<uint8_t>(text[i]);
  if (lead < 0x80) {
    *c = lead;
    *pos = i + 1;
    return true;
  }
  size_t length;
  uint32_t value, smallest;
  if (lead >= 0xC0 && lead < 0xE0) {
    length = 2, value = lead & 0x1Fu, smallest = 0x80;
  } else if (lead >= 0xE0 && lead < 0xF0) {
    length = 3, value = lead & 0x0Fu, smallest = 0x800;
  } else if (lead >= 0xF0 && lead < 0xF8) {
    length = 4, value = lead & 0x07u, smallest = 0x10000;
  } else {
    return false;
  }
  if (text.size() - i < length) return false;
  for (size_t k = 1; k < length; ++k) {
    const uint8_t next = static_cast<uint8_t>(text[i + k]);
    if ((next & 0xC0) != 0x80) return false;
    value = (value << 6) | (next & 0x3Fu);
  }
  if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000)) return false;
  *c = value;
  *pos = i + length;
  return true;
}

// NextUtf16: the code point of the UTF-16LE unit, or surrogate pair, at
// bytes[*pos]. False, and *pos unchanged, for half a unit at the end or a
// surrogate without its other half.
bool NextUtf16(const std::string &bytes, size_t *pos, uint32_t *c) {
  auto unit = [&bytes](size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at]) | (static_cast<uint8_t>(bytes[at + 1]) << 8));
  };
  const size_t i = *pos;
  if (bytes.size() - i < 2) return false;
  const uint32_t first = unit(i);
  if (first < 0xD800 || first >= 0xE000) {
    *c = first;
    *pos = i + 2;
    return true;
  }
  if (first >= 0xDC00 || bytes.size() - i < 4) return false;
  const uint32_t second = unit(i + 2);
  if (second < 0xDC00 || second >= 0xE000) return false;
  *c = 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
  *pos = i + 4;
  return true;
}

void AppendUtf8(uint32_t c, std::string *out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void AppendUtf16(uint32_t c, std::string *out) {
  auto unit = [out](uint32_t u) {
    out->push_back(static_cast<char>(u & 0xFF));
    out->push_back(static_cast<char>(u >> 8));
  };
  if (c < 0x10000) {
    unit(c);
  } else {
    unit(0xD800 + ((c - 0x10000) >> 10));
    unit(0xDC00 + ((c - 0x10000) & 0x3FF));
  }
}

// True for a character that a quoted string or a key line carries as it is,
// and that every reader reads back as the same text on the same line. Not
// NUL, CR or LF; not the other C0 and C1 controls and DEL either: vertical
// tab, form feed and NEL end a line for some readers, and the rest show as
// nothing or drive the terminal an administrator reads the file in (ESC).
// Nor the Unicode line and paragraph separators, which editors show as line
// breaks. TAB stays: the registry editor writes it as it is and reads it back.
bool IsLineCharacter(uint32_t c) {
  if (c == '\t') return true;
  if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return false;
  return c != 0x2028 && c != 0x2029;
}

// Why text cannot be written between quotes or brackets, or null when it can.
const char *TextProblem(const std::string &text) {
  for (size_t i = 0; i < text.size();) {
    uint32_t c;
    if (!NextUtf8(text, &i, &c)) return "holds bytes that are not UTF-8";
    if (c == '\r' || c == '\n') return "holds a line break";
    if (c == 0) return "holds a NUL";
    if (!IsLineCharacter(c)) return "holds a control character";
  }
  return nullptr;
}

// The length of UTF-8 text as the registry counts it.
size_t Utf16Length(const std::string &text) {
  size_t length = 0;
  for (size_t i = 0; i < text.size();) {
    uint32_t c = 0;
    if (!NextUtf8(text, &i, &c)) ++i;
    length += c >= 0x10000 ? 2 : 1;
  }
  return length;
}

// Why a key name cannot be written as a section line and read back as
// itself, or "" when it can.
std::string KeyNameProblem(const std::string &key, bool remove) {
  if (const char *why = TextProblem(key)) return std::string(why) + ", which no .reg line can carry";
  if (!remove && !key.empty() && key[0] == '-') return "begins with '-', which a .reg file reads as a deletion";
  for (size_t start = 0;;) {
    const size_t end = key.find('\\', start);
    if (Utf16Length(key.substr(start, end == std::string::npos ? std::string::npos : end - start)) >
        kMaxKeyNameLength) {
      return "has a part longer than the registry allows (255 characters)";
    }
    if (end == std::string::npos) return "";
    start = end + 1;
  }
}

std::string ValueNameProblem(const std::string &name) {
  if (const char *why = TextProblem(name)) return std::string(why) + ", which no .reg line can carry";
  if (Utf16Length(name) > kMaxValueNameLength) return "is longer than the registry allows (16,383 characters)";
  return "";
}

// ---- Writing --------------------------------------------------------------------

// Only '\' and '"' are escaped, as the registry editor does; the names and
// strings given here were checked to hold nothing else a line cannot carry.
std::string Quote(const std::string &text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

void AppendHex(std::string &line, std::vector<std::string> &lines, const std::vector<uint8_t> &data) {
  char byte[4];
  for (size_t i = 0; i < data.size(); ++i) {
    snprintf(byte, sizeof byte, "%02x", data[i]);
    line += byte;
    if (i + 1 < data.size()) {
      line += ',';
      if (line.size() >= kHexLineLimit) {
        lines.push_back(line + "\\");
        line = "  ";
      }
    }
  }
}

// ---- Reading --------------------------------------------------------------------

std::string LinePrefix(size_t number) { return "line " + std::to_string(number) + ": "; }

// The text of a file as UTF-8: from UTF-16LE after its byte-order mark, else
// from UTF-8 (after its mark, if any). Refused, naming the line: text that is
// not valid in its encoding, and any character no line written here holds
// (TAB aside, a control character; a CR only as the first half of a CRLF).
bool DecodeText(const std::string &bytes, std::string *text, std::string *error) {
  const bool utf16 = bytes.compare(0, 2, "\xFF\xFE") == 0;
  size_t pos = utf16 ? 2 : bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  size_t line = 1;
  bool afterCr = false;
  text->clear();
  while (pos < bytes.size()) {
    const size_t at = pos;
    uint32_t c;
    if (!(utf16 ? NextUtf16(bytes, &pos, &c) : NextUtf8(bytes, &pos, &c))) {
      *error = LinePrefix(line) + (utf16 ? "not UTF-16 text (a surrogate without its other half, or half a character)"
                                         : "not UTF-8 text (the bytes " + Escaped(bytes.substr(at, 4)) + ")");
      return false;
    }
    if (afterCr && c != '\n') {
      *error = LinePrefix(line) + "a carriage return that ends no line";
      return false;
    }
    afterCr = c == '\r';
    if (c == '\n') {
      ++line;
    } else if (c != '\r' && !IsLineCharacter(c)) {
      std::string character;
      AppendUtf8(c, &character);
      *error = LinePrefix(line) + "a control character (" + Escaped(character) +
               "), which no .reg line written here holds";
      return false;
    }
    AppendUtf8(c, text);
  }
  return true;
}

std::string Trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

bool ParseHexBytes(const std::string &text, std::vector<uint8_t> *out) {
  out->clear();
  std::string digits;
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!digits.empty()) {
        if (digits.size() > 2) return false;
        out->push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
        digits.clear();
      }
    } else if (isxdigit(static_cast<unsigned char>(c))) {
      digits.push_back(c);
    } else {
      return false;
    }
  }
  if (!digits.empty()) {
    if (digits.size() > 2) return false;
    out->push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
  }
  return true;
}

// Reads a quoted string at text[*pos] (the opening quote), unescaping it.
// The registry editor escapes '\' and '"' alone; any other escape (\n, \r
// and \0 among them, which stand for characters no line written here holds)
// is refused with *why.
bool ParseQuoted(const std::string &text, size_t *pos, std::string *out, std::string *why) {
  out->clear();
  for (size_t i = *pos + 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      const char next = text[++i];
      if (next != '\\' && next != '"') {
        *why = "an escape other than \\\\ and \\\" in a quoted string";
        return false;
      }
      out->push_back(next);
    } else if (c == '"') {
      *pos = i + 1;
      return true;
    } else {
      out->push_back(c);
    }
  }
  *why = "a quoted string without its closing quote";
  return false;
}

bool ParseValueLine(const std::string &line, Value *value, std::string *why) {
  *why = "bad value line";
  size_t pos = 0;
  if (line[0] == '@') {
    value->name.clear();
    pos = 1;
  } else if (line[0] != '"' || !ParseQuoted(line, &pos, &value->name, why)) {
    return false;
  }
  while (pos < line.size() && line[pos] == ' ') ++pos;
  if (pos >= line.size() || line[pos] != '=') return false;
  std::string data = Trim(line.substr(pos + 1));
  if (data == "-") {
    value->remove = true;
    return true;
  }
  if (!data.empty() && data[0] == '"') {
    size_t p = 0;
    std::string text;
    if (!ParseQuoted(data, &p, &text, why)) return false;
    // A comment may follow, as the registry editor reads it; nothing else.
    const size_t rest = data.find_first_not_of(" \t", p);
    if (rest != std::string::npos && data[rest] != ';') {
      *why = "text after a quoted string";
      return false;
    }
    value->type = kRegSz;
    value->data.assign(text.begin(), text.end());
    value->data.push_back(0);  // strings are stored with their terminator
    return true;
  }
  std::string lower = data;
  for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (lower.rfind("dword:", 0) == 0) {
    std::string digits = Trim(data.substr(6));
    if (digits.empty() || digits.size() > 8 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      return false;
    }
    uint32_t v = static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
    value->type = kRegDword;
    value->data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                   static_cast<uint8_t>(v >> 24)};
    return true;
  }
  if (lower.rfind("hex:", 0) == 0) {
    value->type = kRegBinary;
    return ParseHexBytes(data.substr(4), &value->data);
  }
  if (lower.rfind("hex(", 0) == 0) {
    size_t close = data.find("):");
    if (close == std::string::npos) return false;
    std::string type = data.substr(4, close - 4);
    if (type.empty() || type.size() > 8 || type.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      return false;
    }
    value->type = static_cast<uint32_t>(std::stoul(type, nullptr, 16));
    return ParseHexBytes(data.substr(close + 2), &value->data);
  }
  return false;
}

}  // namespace

std::string Escaped(const std::string &text, EscapedLength length) {
  std::string out;
  char code[16];
  for (size_t i = 0; i < text.size();) {
    if (length == EscapedLength::kMessage && out.size() >= kMessageLimit) return out + "...";
    const size_t start = i;
    uint32_t c;
    if (!NextUtf8(text, &i, &c)) {
      snprintf(code, sizeof code, "\\x%02x", static_cast<uint8_t>(text[start]));
      out += code;
      i = start + 1;
    } else if (c == '\r' || c == '\n' || c == '\t') {
      out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : "\\t";
    } else if (!IsLineCharacter(c)) {
      snprintf(code, sizeof code, c < 0x80 ? "\\x%02x" : "\\u%04x", static_cast<unsigned>(c));
      out += code;
    } else {
      out.append(text, start, i - start);
    }
  }
  return out;
}

bool FormatSection(const Section &section, std::vector<std::string> *lines, std::string *error) {
  lines->clear();
  std::string why = KeyNameProblem(section.key, section.remove);
  if (!why.empty()) {
    *error = "key " + Escaped(section.key) + ": the key name " + why;
    return false;
  }
  lines->push_back("[" + std::string(section.remove ? "-" : "") + section.key + "]");
  for (const Value &v : section.values) {
    why = ValueNameProblem(v.name);
    if (!why.empty()) {
      *error = "key " + Escaped(section.key) + ": the value name \"" + Escaped(v.name) + "\" " + why;
      return false;
    }
    std::string line = v.name.empty() ? "@=" : Quote(v.name) + "=";
    if (v.remove) {
      lines->push_back(line + "-");
    } else if (v.type == kRegSz && !v.data.empty() && v.data.back() == 0 &&
               TextProblem(std::string(v.data.begin(), v.data.end() - 1)) == nullptr) {
      // A string as a string; any other REG_SZ data (no terminator, a NUL
      // inside, bytes that are not text, a character no line carries) as
      // hex(1), so nothing is lost.
      lines->push_back(line + Quote(std::string(v.data.begin(), v.data.end() - 1)));
    } else if (v.type == kRegDword && v.data.size() == 4) {
      char digits[16];
      uint32_t n = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
      snprintf(digits, sizeof digits, "dword:%08x", n);
      lines->push_back(line + digits);
    } else {
      if (v.type == kRegBinary) {
        line += "hex:";
      } else {
        char prefix[24];
        snprintf(prefix, sizeof prefix, "hex(%x):", v.type);
        line += prefix;
      }
      AppendHex(line, *lines, v.data);
      lines->push_back(line);
    }
  }
  return true;
}

bool EncodeFile(const std::vector<Section> &sections, std::string *bytes, std::string *error) {
  bytes->clear();
  std::string text = std::string(kHeader) + "\r\n\r\n";
  std::vector<std::string> lines;
  for (const Section &s : sections) {
    if (!FormatSection(s, &lines, error)) return false;
    for (const std::string &line : lines) text += line + "\r\n";
    text += "\r\n";
  }
  std::string out = "\xff\xfe";
  for (size_t i = 0; i < text.size();) {
    uint32_t c;
    if (!NextUtf8(text, &i, &c)) {
      // Every name and string was checked above: this is never reached.
      *error = "text that is not UTF-8";
      return false;
    }
    AppendUtf16(c, &out);
  }
  *bytes = std::move(out);
  return true;
}

bool ParseFile(const std::string &bytes, std::vector<Section> *sections, std::string *error) {
  std::string text;
  if (!DecodeText(bytes, &text, error)) return false;
  // Logical lines, each with the number of its first line in the file: a
  // trailing backslash continues a line.
  struct Line {
    size_t number;
    std::string text;
  };
  std::vector<Line> lines;
  std::string pending;
  size_t pendingNumber = 0, number = 0;
  size_t start = 0;
  while (start <= text.size()) {
    ++number;
    size_t end = text.find('\n', start);
    std::string raw = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text.size() + 1 : end + 1;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    if (pending.empty()) pendingNumber = number;
    std::string line = pending.empty() ? Trim(raw) : pending + Trim(raw);
    if (!line.empty() && line.back() == '\\' && line.find('=') != std::string::npos) {
      line.pop_back();
      pending = line;
      continue;
    }
    pending.clear();
    lines.push_back({pendingNumber, line});
  }
  size_t i = 0;
  while (i < lines.size() && lines[i].text.empty()) ++i;
  if (i >= lines.size() || (lines[i].text != kHeader && lines[i].text != "REGEDIT4")) {
    *error = "not a registry file";
    return false;
  }
  sections->clear();
  for (++i; i < lines.size(); ++i) {
    const std::string &line = lines[i].text;
    const std::string where = LinePrefix(lines[i].number);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') {
        *error = where + "bad key line: " + Escaped(line);
        return false;
      }
      Section s;
      s.remove = line.size() > 1 && line[1] == '-';
      s.key = line.substr(s.remove ? 2 : 1, line.size() - (s.remove ? 3 : 2));
      const std::string why = KeyNameProblem(s.key, s.remove);
      if (!why.empty()) {
        *error = where + "the key name " + why + ": " + Escaped(line);
        return false;
      }
      sections->push_back(s);
      continue;
    }
    Value v;
    v.type = 0;
    std::string why;
    if (sections->empty()) {
      *error = where + "a value line before any key line: " + Escaped(line);
      return false;
    }
    if (!ParseValueLine(line, &v, &why)) {
      *error = where + why + ": " + Escaped(line);
      return false;
    }
    why = ValueNameProblem(v.name);
    if (!why.empty()) {
      *error = where + "the value name " + why + ": " + Escaped(line);
      return false;
    }
    sections->back().values.push_back(v);
  }
  return true;
}

}  // namespace ambercrypt::regfile
