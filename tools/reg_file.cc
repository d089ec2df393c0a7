#include "tools/reg_file.h"

#include <cstdio>
#include <cstring>

namespace ambercrypt::regfile {
namespace {

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
// Hex data lines are continued once they reach this many characters, as the
// registry editor does.
constexpr size_t kHexLineLimit = 77;
const char kHeader[] = "Windows Registry Editor Version 5.00";

std::string Quote(const std::string &text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

// True when text is well-formed UTF-8 (shortest forms, no surrogates) with
// no NUL, CR or LF: what a quoted string carries and reads back byte for byte.
bool IsQuotableText(const uint8_t *p, size_t n) {
  for (size_t i = 0; i < n;) {
    uint8_t b = p[i];
    if (b < 0x80) {
      if (b == 0 || b == '\r' || b == '\n') return false;
      ++i;
      continue;
    }
    size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
    if (length == 0 || b > 0xF4 || i + length > n) return false;
    uint32_t c = b & (0x7Fu >> length);
    for (size_t k = 1; k < length; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      c = (c << 6) | (p[i + k] & 0x3Fu);
    }
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < smallest[length] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return false;
    i += length;
  }
  return true;
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

// UTF-16LE code units to UTF-8.
std::string FromUtf16(const std::string &bytes, size_t start) {
  std::string out;
  for (size_t i = start; i + 1 < bytes.size(); i += 2) {
    uint32_t c = static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8);
    if (c >= 0xD800 && c < 0xE000) {
      // A surrogate pair; a lone half becomes U+FFFD, never another character.
      uint32_t low = i + 3 < bytes.size()
                         ? static_cast<uint8_t>(bytes[i + 2]) | (static_cast<uint8_t>(bytes[i + 3]) << 8)
                         : 0;
      if (c < 0xDC00 && low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      } else {
        c = 0xFFFD;
      }
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string ToUtf16(const std::string &text) {
  std::string out = "\xff\xfe";
  for (size_t i = 0; i < text.size();) {
    uint8_t b = static_cast<uint8_t>(text[i]);
    uint32_t c = b;
    size_t n = 1;
    if (b >= 0xF0 && i + 3 < text.size()) {
      c = ((b & 0x07u) << 18) | ((text[i + 1] & 0x3Fu) << 12) | ((text[i + 2] & 0x3Fu) << 6) | (text[i + 3] & 0x3Fu);
      n = 4;
    } else if (b >= 0xE0 && i + 2 < text.size()) {
      c = ((b & 0x0Fu) << 12) | ((text[i + 1] & 0x3Fu) << 6) | (text[i + 2] & 0x3Fu);
      n = 3;
    } else if (b >= 0xC0 && i + 1 < text.size()) {
      c = ((b & 0x1Fu) << 6) | (text[i + 1] & 0x3Fu);
      n = 2;
    }
    i += n;
    if (c >= 0x10000) {
      c -= 0x10000;
      uint32_t high = 0xD800 + (c >> 10), low = 0xDC00 + (c & 0x3FF);
      out.push_back(static_cast<char>(high & 0xFF));
      out.push_back(static_cast<char>(high >> 8));
      out.push_back(static_cast<char>(low & 0xFF));
      out.push_back(static_cast<char>(low >> 8));
    } else {
      out.push_back(static_cast<char>(c & 0xFF));
      out.push_back(static_cast<char>(c >> 8));
    }
  }
  return out;
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
bool ParseQuoted(const std::string &text, size_t *pos, std::string *out) {
  if (*pos >= text.size() || text[*pos] != '"') return false;
  out->clear();
  for (size_t i = *pos + 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      char next = text[++i];
      out->push_back(next == 'n' ? '\n' : next == 'r' ? '\r' : next == '0' ? '\0' : next);
    } else if (c == '"') {
      *pos = i + 1;
      return true;
    } else {
      out->push_back(c);
    }
  }
  return false;
}

bool ParseValueLine(const std::string &line, Value *value) {
  size_t pos = 0;
  if (line[0] == '@') {
    value->name.clear();
    pos = 1;
  } else if (!ParseQuoted(line, &pos, &value->name)) {
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
    if (!ParseQuoted(data, &p, &text)) return false;
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

std::vector<std::string> FormatSection(const Section &section) {
  std::vector<std::string> lines;
  lines.push_back("[" + std::string(section.remove ? "-" : "") + section.key + "]");
  for (const Value &v : section.values) {
    std::string line = v.name.empty() ? "@=" : Quote(v.name) + "=";
    if (v.remove) {
      lines.push_back(line + "-");
    } else if (v.type == kRegSz && !v.data.empty() && v.data.back() == 0 &&
               IsQuotableText(v.data.data(), v.data.size() - 1)) {
      // A string as a string; any other REG_SZ data (no terminator, a NUL
      // inside, bytes that are not text) as hex(1), so nothing is lost.
      lines.push_back(line + Quote(std::string(v.data.begin(), v.data.end() - 1)));
    } else if (v.type == kRegDword && v.data.size() == 4) {
      char digits[16];
      uint32_t n = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
      snprintf(digits, sizeof digits, "dword:%08x", n);
      lines.push_back(line + digits);
    } else {
      if (v.type == kRegBinary) {
        line += "hex:";
      } else {
        char prefix[24];
        snprintf(prefix, sizeof prefix, "hex(%x):", v.type);
        line += prefix;
      }
      AppendHex(line, lines, v.data);
      lines.push_back(line);
    }
  }
  return lines;
}

std::string EncodeFile(const std::vector<Section> &sections) {
  std::string text = std::string(kHeader) + "\r\n\r\n";
  for (const Section &s : sections) {
    for (const std::string &line : FormatSection(s)) text += line + "\r\n";
    text += "\r\n";
  }
  return ToUtf16(text);
}

bool ParseFile(const std::string &bytes, std::vector<Section> *sections, std::string *error) {
  std::string text;
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
    text = FromUtf16(bytes, 2);
  } else if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    text = bytes.substr(3);
  } else {
    text = bytes;
  }
  // Logical lines: a trailing backslash continues a line.
  std::vector<std::string> lines;
  std::string pending;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    std::string raw = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text.size() + 1 : end + 1;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    std::string line = pending.empty() ? Trim(raw) : pending + Trim(raw);
    if (!line.empty() && line.back() == '\\' && line.find('=') != std::string::npos) {
      line.pop_back();
      pending = line;
      continue;
    }
    pending.clear();
    lines.push_back(line);
  }
  size_t i = 0;
  while (i < lines.size() && lines[i].empty()) ++i;
  if (i >= lines.size() || (lines[i] != kHeader && lines[i] != "REGEDIT4")) {
    *error = "not a registry file";
    return false;
  }
  sections->clear();
  for (++i; i < lines.size(); ++i) {
    const std::string &line = lines[i];
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') {
        *error = "bad key line: " + line;
        return false;
      }
      Section s;
      s.remove = line.size() > 1 && line[1] == '-';
      s.key = line.substr(s.remove ? 2 : 1, line.size() - (s.remove ? 3 : 2));
      sections->push_back(s);
      continue;
    }
    Value v;
    v.type = 0;
    if (sections->empty() || !ParseValueLine(line, &v)) {
      *error = "bad value line: " + line;
      return false;
    }
    sections->back().values.push_back(v);
  }
  return true;
}

}  // namespace ambercrypt::regfile
