// The .reg text format: what the registry tool reads and writes, case by case.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools/reg_file.h"

namespace ambercrypt::regfile {
namespace {

using Bytes = std::vector<uint8_t>;

const char kHeader[] = "Windows Registry Editor Version 5.00";

// One value as the parser should give it back.
struct Expected {
  std::string key;
  std::string name;
  uint32_t type;
  Bytes data;
  bool remove;
};

std::vector<Expected> Flatten(const std::vector<Section> &sections) {
  std::vector<Expected> out;
  for (const Section &s : sections) {
    if (s.values.empty()) out.push_back({s.remove ? "-" + s.key : s.key, "", 0, {}, false});
    for (const Value &v : s.values) out.push_back({s.key, v.name, v.remove ? 0 : v.type, v.data, v.remove});
  }
  return out;
}

bool operator==(const Expected &a, const Expected &b) {
  return a.key == b.key && a.name == b.name && a.type == b.type && a.data == b.data && a.remove == b.remove;
}

std::ostream &operator<<(std::ostream &os, const Expected &e) {
  os << "[" << e.key << "] \"" << e.name << "\" type " << e.type << " (" << e.data.size() << " bytes)"
     << (e.remove ? " removed" : "");
  return os;
}

// ASCII/UTF-8 text to the UTF-16LE bytes reg export writes, with a BOM.
std::string Utf16(const std::string &text) {
  std::string out = "\xff\xfe";
  for (char c : text) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

TEST(RegFileTest, WellFormedFiles) {
  const std::string k = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Test";
  struct Case {
    const char *what;
    std::string bytes;
    std::vector<Expected> expected;
  };
  const Case cases[] = {
      {"every value type, LF",
       std::string(kHeader) + "\n\n[" + k + "]\n\"D\"=dword:0000002a\n\"B\"=hex:01,ab,FF\n\"S\"=\"a\\\\b \\\"q\\\"\"\n"
           "@=\"default\"\n\"M\"=hex(7):61,00,00\n\"Q\"=hex(b):01,00,00,00,00,00,00,00\n\"Gone\"=-\n",
       {{k, "D", 4, {0x2a, 0, 0, 0}, false},
        {k, "B", 3, {0x01, 0xab, 0xff}, false},
        {k, "S", 1, {'a', '\\', 'b', ' ', '"', 'q', '"', 0}, false},
        {k, "", 1, {'d', 'e', 'f', 'a', 'u', 'l', 't', 0}, false},
        {k, "M", 7, {0x61, 0, 0}, false},
        {k, "Q", 0xb, {1, 0, 0, 0, 0, 0, 0, 0}, false},
        {k, "Gone", 0, {}, true}}},
      {"CRLF, a deleted key, an empty section, comments",
       std::string(kHeader) + "\r\n\r\n; a comment\r\n[-" + k + "\\Old]\r\n\r\n[" + k + "]\r\n",
       {{"-" + k + "\\Old", "", 0, {}, false}, {k, "", 0, {}, false}}},
      {"hex continued over lines as reg export breaks them",
       std::string(kHeader) + "\r\n\r\n[" + k + "]\r\n\"B\"=hex:00,01,02,\\\r\n  03,04,\\\r\n  05\r\n",
       {{k, "B", 3, {0, 1, 2, 3, 4, 5}, false}}},
      {"UTF-16LE with a byte-order mark", Utf16(std::string(kHeader) + "\r\n\r\n[" + k + "]\r\n\"D\"=dword:ffffffff\r\n"),
       {{k, "D", 4, {0xff, 0xff, 0xff, 0xff}, false}}},
      {"UTF-8 with a byte-order mark, REGEDIT4, upper-case types",
       "\xEF\xBB\xBFREGEDIT4\n[" + k + "]\n\"D\"=DWORD:00000001\n\"B\"=HEX:0a\n",
       {{k, "D", 4, {1, 0, 0, 0}, false}, {k, "B", 3, {0x0a}, false}}},
      {"no trailing line end, empty binary", std::string(kHeader) + "\n[" + k + "]\n\"E\"=hex:",
       {{k, "E", 3, {}, false}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Section> sections;
    std::string error;
    ASSERT_TRUE(ParseFile(c.bytes, &sections, &error)) << error;
    EXPECT_EQ(c.expected, Flatten(sections));
  }
}

TEST(RegFileTest, MalformedFilesAreRefusedWithTheLine) {
  const std::string h = std::string(kHeader) + "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n";
  struct Case {
    const char *what;
    std::string bytes;
    const char *inError;
  };
  const Case cases[] = {
      {"no header", "[HKEY_LOCAL_MACHINE\\X]\n", "not a registry file"},
      {"empty file", "", "not a registry file"},
      {"value before any key", std::string(kHeader) + "\n\"D\"=dword:1\n", "\"D\"=dword:1"},
      {"key line not closed", std::string(kHeader) + "\n[HKEY_LOCAL_MACHINE\\X\n", "[HKEY_LOCAL_MACHINE\\X"},
      {"dword too long", h + "\"D\"=dword:123456789\n", "dword:123456789"},
      {"dword not hex", h + "\"D\"=dword:12g4\n", "dword:12g4"},
      {"dword empty", h + "\"D\"=dword:\n", "dword:"},
      {"hex group of three digits", h + "\"B\"=hex:012,34\n", "hex:012,34"},
      {"hex with a stray character", h + "\"B\"=hex:01;02\n", "hex:01;02"},
      {"hex(n) without its colon", h + "\"B\"=hex(7)01,02\n", "hex(7)01,02"},
      {"hex(n) with a type that is not hex", h + "\"B\"=hex(zz):01\n", "hex(zz):01"},
      {"unterminated name", h + "\"D=dword:1\n", "\"D=dword:1"},
      {"unterminated string", h + "\"S\"=\"abc\n", "\"S\"=\"abc"},
      {"no equals sign", h + "\"D\" dword:1\n", "\"D\" dword:1"},
      {"unknown type", h + "\"D\"=qword:1\n", "qword:1"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Section> sections;
    std::string error;
    EXPECT_FALSE(ParseFile(c.bytes, &sections, &error));
    EXPECT_NE(std::string::npos, error.find(c.inError)) << error;
  }
}

TEST(RegFileTest, WhatIsWrittenReadsBackTheSame) {
  Section s;
  s.key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\Ke\"y";
  Bytes longBinary(100);
  for (size_t i = 0; i < longBinary.size(); ++i) longBinary[i] = static_cast<uint8_t>(i * 37);
  s.values = {{"Long", 3, longBinary},
              {"Dword", 4, {0x78, 0x56, 0x34, 0x12}},
              {"Text \\ \"quoted\"", 1, {'v', '\\', '"', 0}},
              {"", 1, {'d', 0}},
              {"Multi", 7, {'a', 0, 'b', 0, 0}},
              {"Odd dword", 4, {1, 2}},
              {"Gone", 0, {}, true},
              {"Unterminated", 1, {'a', 'b'}},
              {"Inner NUL", 1, {'a', 0, 'b', 0}},
              {"Line", 1, {'a', '\n', 'b', 0}},
              {"Latin-1", 1, {0xE9, 0}},
              {"Overlong", 1, {0xC0, 0xAF, 0}},
              {"UTF-8", 1, {0xC3, 0xA9, 0}},
              {"Empty", 1, {}}};
  std::string bytes = EncodeFile({s});
  const std::vector<std::string> lines = FormatSection(s);
  // A removal stays one; a REG_SZ that is no string is kept as its bytes.
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "\"Gone\"=-"));
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "\"Unterminated\"=hex(1):61,62"));
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "\"UTF-8\"=\"\xC3\xA9\""));
  ASSERT_EQ("\xff\xfe", bytes.substr(0, 2));
  // Lines are broken as reg export breaks them, at no more than 80 characters.
  for (const std::string &line : FormatSection(s)) EXPECT_LE(line.size(), 80u) << line;
  std::vector<Section> read;
  std::string error;
  ASSERT_TRUE(ParseFile(bytes, &read, &error)) << error;
  EXPECT_EQ(Flatten({s}), Flatten(read));
}

TEST(RegFileTest, BrokenUtf16NeverBecomesAnotherCharacter) {
  // A high surrogate followed by an ordinary unit, and a lone low surrogate.
  std::string bytes = Utf16(std::string(kHeader) + "\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"S\"=\"");
  bytes += std::string("\x00\xd8" "A\x00" "\x00\xdc", 6);
  bytes += Utf16("\"\r\n").substr(2);
  std::vector<Section> read;
  std::string error;
  ASSERT_TRUE(ParseFile(bytes, &read, &error)) << error;
  ASSERT_EQ(1u, read.size());
  ASSERT_EQ(1u, read[0].values.size());
  std::string text(read[0].values[0].data.begin(), read[0].values[0].data.end());
  // The 'A' survives between the two replacement characters.
  EXPECT_EQ("\xEF\xBF\xBD" "A" "\xEF\xBF\xBD" + std::string(1, '\0'), text);
}

}  // namespace
}  // namespace ambercrypt::regfile
