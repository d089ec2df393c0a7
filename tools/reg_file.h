// reg_file.h: the .reg text format of Windows' registry editor and reg.exe:
// "Windows Registry Editor Version 5.00", [KEY] sections, "name"=dword:,
// hex:, hex(n): and quoted strings. Written as Windows writes it (UTF-16LE with
// a byte-order mark, CRLF); read from that or from ASCII/UTF-8 text.
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

// The lines of one section, without line ends.
std::vector<std::string> FormatSection(const Section &section);
// The whole file's bytes: UTF-16LE with BOM and CRLF.
std::string EncodeFile(const std::vector<Section> &sections);
// Parses a file's bytes (UTF-16LE with BOM, UTF-8 with or without BOM, ASCII).
// False with *error set when the text is not a registry file.
bool ParseFile(const std::string &bytes, std::vector<Section> *sections, std::string *error);

}  // namespace ambercrypt::regfile

#endif  // AMBERCRYPT_TOOLS_REG_FILE_H_
