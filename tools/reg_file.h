// reg_file.h: the .reg text format of Windows' registry editor and reg.exe:
// "Windows Registry Editor Version 5.00", [KEY] sections, "name"=dword:,
// hex:, hex(n): and quoted strings. Written as Windows writes it (UTF-16LE with
// a byte-order mark, CRLF); read from that or from ASCII/UTF-8 text.
// Names come from a registry every account may add values to: what cannot be
// written as one line that reads back as itself is refused, never written, and
// a file holding what this writer never writes is refused as a whole.
#ifndef AMBERCRYPT_TOOLS_REG_FILE_H_
#define AMBERCRYPT_TOOLS_REG_FILE_H_

#include <cstdint>
#include <string>
#include <vector>

namespace ambercrypt::regfile {

struct Value {
  std::string name;  // empty: the key's default value
  uint32_t type;
  std::vector<uint8_t> data;
  bool remove = false;  // "name"=-
};

struct Section {
  std::string key;  // full name, HKEY_LOCAL_MACHINE\...
  bool remove = false;  // [-KEY]
  std::vector<Value> values;
};

// FormatSection: the lines of one section, without line ends. False with
// *error (naming the key, and the value with its name escaped) when a name
// cannot be written: *lines is then unspecified.
bool FormatSection(const Section &section, std::vector<std::string> *lines, std::string *error);
// EncodeFile: the whole file's bytes (UTF-16LE with BOM and CRLF), or false
// with *error as FormatSection gives it; *bytes is then empty.
bool EncodeFile(const std::vector<Section> &sections, std::string *bytes, std::string *error);
// ParseFile: reads a file's bytes (UTF-16LE with BOM, UTF-8 with or without
// BOM, ASCII). False with *error (naming the line) when the text is not a
// registry file or holds anything EncodeFile never writes: text that is not
// UTF-8/UTF-16, a control character, an escape other than \\ and \", a name
// longer than the registry allows.
bool ParseFile(const std::string &bytes, std::vector<Section> *sections, std::string *error);

// Escaped: text for a message or a listing, on one line: control characters
// and bytes that are not UTF-8 written as \r, \n, \t, \xNN or \uNNNN. A
// message cuts it after about 256 characters; a listing keeps it whole.
enum class EscapedLength { kMessage, kWhole };
std::string Escaped(const std::string &text, EscapedLength length = EscapedLength::kMessage);

}  // namespace ambercrypt::regfile

#endif  // AMBERCRYPT_TOOLS_REG_FILE_H_
