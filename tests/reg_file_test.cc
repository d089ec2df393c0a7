// The .reg text format: what the registry tool reads and writes, case by case,
// and the tool's export and import of a tree holding a planted value name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/posix/registry_tool.h"
#include "platform/win32_api.h"
#include "store/settings.h"
#include "support/test_support.h"
#include "tools/reg_file.h"

extern char **environ;

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
      {"TAB and UTF-8 in names and strings, a comment after a string",
       std::string(kHeader) + "\n[" + k + "]\n\"Tab\there\"=\"a\tb\"\n"
           "\"Soci\xC3\xA9t\xC3\xA9\"=\"\xE6\x97\xA5\" ; note\n\"\xF0\x9F\x94\x91\"=dword:00000001\n",
       {{k, "Tab\there", 1, {'a', '\t', 'b', 0}, false},
        {k, "Soci\xC3\xA9t\xC3\xA9", 1, {0xE6, 0x97, 0xA5, 0}, false},
        {k, "\xF0\x9F\x94\x91", 4, {1, 0, 0, 0}, false}}},
      {"UTF-16LE with a surrogate pair",
       Utf16(std::string(kHeader) + "\r\n[" + k + "]\r\n\"") + std::string("\x3D\xD8\x11\xDD", 4) +
           Utf16("\"=dword:00000002\r\n").substr(2),
       {{k, "\xF0\x9F\x94\x91", 4, {2, 0, 0, 0}, false}}},
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
      // What the writer never writes: escapes other than \\ and \", control
      // characters, text that is not UTF-8 or UTF-16, names the registry
      // refuses. Each is named by its line.
      {"\\n in a name", h + "\"a\\nb\"=dword:1\n", "line 3: an escape"},
      {"\\r in a string", h + "\"S\"=\"a\\rb\"\n", "line 3: an escape"},
      {"\\0 in a string", h + "\"S\"=\"a\\0\"\n", "line 3: an escape"},
      {"\\t in a name", h + "\"a\\tb\"=dword:1\n", "line 3: an escape"},
      {"\\x in a name", h + "\"a\\x41\"=dword:1\n", "line 3: an escape"},
      {"ESC in a name", h + "\"a\x1b[2Kb\"=dword:1\n", "line 3: a control character (\\x1b)"},
      {"SOH in a string", h + "\"S\"=\"a\x01\"\n", "line 3: a control character (\\x01)"},
      {"DEL in a key line", h + "[HKEY_LOCAL_MACHINE\\Y\x7f]\n", "line 3: a control character (\\x7f)"},
      {"NUL in a name", h + std::string("\"a\0b\"=dword:1\n", 14), "line 3: a control character (\\x00)"},
      {"CR inside a line", h + "\"a\rb\"=dword:1\n", "line 3: a carriage return"},
      {"NEL in a name", h + "\"a\xC2\x85\"=dword:1\n", "line 3: a control character (\\u0085)"},
      {"line separator in a string", h + "\"S\"=\"\xE2\x80\xA8\"\n", "line 3: a control character (\\u2028)"},
      {"overlong quote", h + "\"a\xC0\xA2=dword:1\n", "line 3: not UTF-8 text (the bytes \\xc0\\xa2"},
      {"overlong three-byte form", h + "\"a\xE0\x80\xAF\"=dword:1\n", "line 3: not UTF-8"},
      {"surrogate in UTF-8", h + "\"a\xED\xA0\x80\"=dword:1\n", "line 3: not UTF-8"},
      {"above U+10FFFF", h + "\"a\xF4\x90\x80\x80\"=dword:1\n", "line 3: not UTF-8"},
      {"stray continuation byte", h + "\"a\x80\"=dword:1\n", "line 3: not UTF-8"},
      {"Latin-1", h + "\"Soci\xE9t\xE9\"=dword:1\n", "line 3: not UTF-8"},
      {"truncated sequence at the end", h + "\"a\"=\"\xE2\x82", "line 3: not UTF-8"},
      {"UTF-16: a high surrogate before an ordinary unit",
       Utf16(h + "\"S\"=\"") + std::string("\x00\xd8" "A\x00", 4) + Utf16("\"\n").substr(2), "line 3: not UTF-16"},
      {"UTF-16: a lone low surrogate", Utf16(h + "\"S\"=\"") + std::string("\x00\xdc", 2) + Utf16("\"\n").substr(2),
       "line 3: not UTF-16"},
      {"UTF-16: a high surrogate at the end", Utf16(h + "\"S\"=\"") + std::string("\x00\xd8", 2), "line 3: not UTF-16"},
      {"UTF-16: half a unit at the end", Utf16(h) + "\"", "line 3: not UTF-16"},
      {"value name of 16,384 characters", h + "\"" + std::string(16384, 'n') + "\"=dword:1\n",
       "line 3: the value name is longer than the registry allows"},
      {"key name part of 256 characters", h + "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\n",
       "line 3: the key name has a part longer than the registry allows"},
      {"text after a string", h + "\"S\"=\"foo\"bar\"\n", "line 3: text after a quoted string"},
      {"line numbers count continued lines",
       h + "\"B\"=hex:00,\\\n  01\n\"a\\nb\"=dword:1\n", "line 5: an escape"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Section> sections;
    std::string error;
    EXPECT_FALSE(ParseFile(c.bytes, &sections, &error));
    EXPECT_NE(std::string::npos, error.find(c.inError)) << error;
  }
}

// The file of sections, which must be written.
std::string Encode(const std::vector<Section> &sections) {
  std::string bytes, error;
  EXPECT_TRUE(EncodeFile(sections, &bytes, &error)) << error;
  return bytes;
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
              {"Escape", 1, {0x1b, '[', '2', 'J', 0}},
              {"Latin-1", 1, {0xE9, 0}},
              {"Overlong", 1, {0xC0, 0xAF, 0}},
              {"UTF-8", 1, {0xC3, 0xA9, 0}},
              {"Tab", 1, {'a', '\t', 'b', 0}},
              {"Empty", 1, {}}};
  std::string bytes = Encode({s});
  std::vector<std::string> lines;
  std::string error;
  ASSERT_TRUE(FormatSection(s, &lines, &error)) << error;
  // A removal stays one; a REG_SZ that is no string (or holds a character no
  // line carries) is kept as its bytes.
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "\"Gone\"=-"));
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "\"Unterminated\"=hex(1):61,62"));
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "\"Escape\"=hex(1):1b,5b,32,4a,00"));
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "\"UTF-8\"=\"\xC3\xA9\""));
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "\"Tab\"=\"a\tb\""));
  ASSERT_EQ("\xff\xfe", bytes.substr(0, 2));
  // Lines are broken as reg export breaks them, at no more than 80 characters.
  for (const std::string &line : lines) EXPECT_LE(line.size(), 80u) << line;
  std::vector<Section> read;
  ASSERT_TRUE(ParseFile(bytes, &read, &error)) << error;
  EXPECT_EQ(Flatten({s}), Flatten(read));
}

// An ordinary tree is written byte for byte as the registry editor writes it.
TEST(RegFileTest, OrdinaryTreesAreWrittenAsTheRegistryEditorWritesThem) {
  Section parent{"HKEY_LOCAL_MACHINE\\SOFTWARE\\Test", false, {}};
  Section child{"HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\ab/cd+ef=",
                false,
                {{"Name", 1, {'C', ':', '\\', 'x', ' ', '"', 'q', '"', 0}},
                 {"", 4, {0x0a, 0, 0, 0}},
                 {"Blob", 3, Bytes(30, 0xab)}}};
  std::string expected = "Windows Registry Editor Version 5.00\r\n\r\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n\r\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\ab/cd+ef=]\r\n"
                         "\"Name\"=\"C:\\\\x \\\"q\\\"\"\r\n"
                         "@=dword:0000000a\r\n"
                         "\"Blob\"=hex:ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,\\\r\n"
                         "  ab,ab,ab,ab,ab,ab,ab,ab\r\n\r\n";
  EXPECT_EQ(Utf16(expected), Encode({parent, child}));
}

// Value and key names another account may have chosen. Each is either
// refused by the writer (naming the key) or written so that the file reads
// back as exactly the same keys and values: never as others.
TEST(RegFileTest, HostileNamesAreRefusedOrReadBackAsThemselves) {
  const std::string k = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Test";
  struct Case {
    std::string what;
    std::string name;
    bool refused;
  };
  std::vector<Case> cases;
  for (int c = 0x01; c < 0x20; ++c) {
    cases.push_back({"control character " + std::to_string(c), "a" + std::string(1, static_cast<char>(c)) + "b",
                     c != '\t'});
  }
  const std::string section = "[" + k + "]", quote = "\xC0\xA2", backslash = "\xC1\x9C";
  const Case more[] = {
      {"DEL", "a\x7f" "b", true},
      {"NUL", std::string("a\0b", 3), true},
      {"a section line and a value after a line break", "x\r\n" + section + "\r\n\"Setting\"=hex:01\r\n\"y", true},
      {"a deletion after a line break", "x\n[-" + k + "]\n[" + k + "]\n\"y", true},
      {"the same with '\"' and '\\' as overlong UTF-8",
       "x\r\n[HKEY_LOCAL_MACHINE" + backslash + "SOFTWARE" + backslash + "Test]\r\n" + quote + "Setting" + quote +
           "=hex:01\r\n" + quote + "y",
       true},
      {"overlong '\"'", "a" + quote + "b", true},
      {"overlong '\\'", "a" + backslash + "b", true},
      {"overlong NUL", "a\xC0\x80" "b", true},
      {"overlong, three bytes", "\xE0\x80\xA2", true},
      {"overlong, four bytes", "\xF0\x80\x80\xA2", true},
      {"high surrogate as UTF-8", "\xED\xA0\x80", true},
      {"low surrogate as UTF-8", "\xED\xB0\x80", true},
      {"a surrogate pair as two UTF-8 sequences", "\xED\xA0\xBD\xED\xB4\x91", true},
      {"above U+10FFFF", "\xF4\x90\x80\x80", true},
      {"five-byte form", "\xF8\x88\x80\x80\x80", true},
      {"byte FF", "a\xFF", true},
      {"truncated two-byte sequence", "a\xC3", true},
      {"truncated four-byte sequence", "\xF0\x9F\x94", true},
      {"stray continuation byte", "a\xBF" "b", true},
      {"Latin-1", "Soci\xE9t\xE9", true},
      {"NEL", "a\xC2\x85" "b", true},
      {"C1 CSI", "a\xC2\x9B" "2J", true},
      {"line separator", "a\xE2\x80\xA8" "b", true},
      {"paragraph separator", "a\xE2\x80\xA9" "b", true},
      {"a section line as the name", section, false},
      {"a deletion line as the name", "[-" + k + "]", false},
      {"a value line as the name", "\"Setting\"=hex:01", false},
      {"quotes and backslashes", "a\\\"b\\", false},
      {"a backslash alone", "\\", false},
      {"a quote alone", "\"", false},
      {"an escaped-looking name", "\\n\\r\\0", false},
      {"a comment", ";comment", false},
      {"an at sign", "@", false},
      {"a minus sign", "-", false},
      {"an equals sign", "=", false},
      {"spaces around", "  a b  ", false},
      {"UTF-8", "Soci\xC3\xA9t\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x94\x91", false},
  };
  cases.insert(cases.end(), std::begin(more), std::end(more));

  // The writer's answer: refused, naming the key, or read back the same.
  auto check = [](const Section &s, bool refused, const std::string &keyInError) {
    std::string bytes, error;
    if (!EncodeFile({s}, &bytes, &error)) {
      EXPECT_TRUE(refused) << "refused: " << error;
      EXPECT_NE(std::string::npos, error.find("key " + keyInError)) << error;
      EXPECT_TRUE(bytes.empty());
      return;
    }
    EXPECT_FALSE(refused) << "written";
    std::vector<Section> read;
    ASSERT_TRUE(ParseFile(bytes, &read, &error)) << error;
    EXPECT_EQ(Flatten({s}), Flatten(read));
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes marker = {1, 0, 0, 0};
    // As a value name between two others, and as a key name.
    check({k, false, {{"Before", 4, marker}, {c.name, 3, {0xee}}, {"After", 4, marker}}}, c.refused, k);
    check({k + "\\" + c.name, false, {{"After", 4, marker}}}, c.refused, k + "\\");
    // As string data, which is kept whatever it holds.
    check({k, false, {{"S", 1, Bytes(c.name.begin(), c.name.end())}}}, false, "");
    Bytes terminated(c.name.begin(), c.name.end());
    terminated.push_back(0);
    check({k, false, {{"S", 1, terminated}}}, false, "");
  }

  // What the administrator is shown: the key, and the name escaped.
  std::string bytes, error;
  ASSERT_FALSE(EncodeFile({{k, false, {{"x\r\n" + section + "\x1b" + quote, 4, {1, 0, 0, 0}}}}}, &bytes, &error));
  EXPECT_EQ("key " + k + ": the value name \"x\\r\\n" + section +
                "\\x1b\\xc0\\xa2\" holds a line break, which no .reg line can carry",
            error);
  // A key name that would read as a deletion.
  EXPECT_FALSE(EncodeFile({{"-" + k, false, {}}}, &bytes, &error));
  check({"-" + k, true, {}}, false, "");
}

// The registry's limits, in UTF-16 code units: 16,383 for a value name, 255
// for each part of a key name.
TEST(RegFileTest, NamesTheRegistryRefusesAreNeitherWrittenNorRead) {
  const std::string k = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Test";
  std::string fourBytes = "\xF0\x9F\x94\x91";  // two units
  std::string longest, tooLong, longestKey, tooLongKey;
  for (int i = 0; i < 8191; ++i) longest += fourBytes;
  longest += "a";
  tooLong = longest + "b";
  for (int i = 0; i < 127; ++i) longestKey += fourBytes;
  longestKey += "a";
  tooLongKey = longestKey + "b";
  std::string bytes, error;
  std::vector<Section> read;
  ASSERT_TRUE(EncodeFile({{k, false, {{longest, 4, {1, 0, 0, 0}}}}}, &bytes, &error)) << error;
  ASSERT_TRUE(ParseFile(bytes, &read, &error)) << error;
  ASSERT_TRUE(EncodeFile({{k + "\\" + longestKey, false, {}}}, &bytes, &error)) << error;
  ASSERT_TRUE(ParseFile(bytes, &read, &error)) << error;
  EXPECT_FALSE(EncodeFile({{k, false, {{tooLong, 4, {1, 0, 0, 0}}}}}, &bytes, &error));
  EXPECT_NE(std::string::npos, error.find("longer than the registry allows")) << error;
  EXPECT_FALSE(EncodeFile({{k + "\\" + tooLongKey + "\\x", false, {}}}, &bytes, &error));
  EXPECT_NE(std::string::npos, error.find("longer than the registry allows")) << error;
}

// ---- The tool: a planted name, exported and imported as a backup is ----------

std::string WithoutTrailingSeparator(std::string path) {
  if (!path.empty() && path.back() == '\\') path.pop_back();
  return path;
}

class RegToolTest : public test::StoreTest {
 protected:
  // Runs ambercrypt-reg with args on this test's store; its exit status,
  // with its standard error in *message.
  int Tool(const std::vector<std::string> &args, std::string *message) {
    const std::string errors = root() + "/tool.err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> all = {AMBERCRYPT_REG_TOOL};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = 0;
    int status = -1;
    const int spawned = posix_spawn(&pid, AMBERCRYPT_REG_TOOL, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0 || waitpid(pid, &status, 0) != pid) return -1;
    *message = test::ReadFile(errors);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
};

// Every account may add values under an application's UserInfo key. A value
// whose name holds a line break, a section line for the base key and a line
// for the administrator password digest (or a deletion of the base key) must
// neither reach a backup nor spoil one: the export is refused, naming the
// key, the backup made before stays as it was, and importing it changes
// nothing.
TEST_F(RegToolTest, APlantedValueNameChangesNothingThroughExportAndImport) {
  test::ProvisionAdminPassword("Admin1pass");
  const char *digestName = settings::kAdminPasswordDigest.name;
  Bytes digest;
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(kBaseKeyPath, digestName, &digest));
  const std::string userInfo = test::ApplicationPath("Kiosk") + kUserInfoSuffix;
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, userInfo.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  uint8_t nullDacl[256];
  ASSERT_TRUE(InitializeSecurityDescriptor(nullDacl, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(nullDacl, TRUE, nullptr, TRUE));
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, nullDacl));
  const DWORD one = 1;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Count", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4));

  const std::string tree = "HKLM\\" + WithoutTrailingSeparator(kBaseKeyPath);
  const std::string backup = root() + "/backup.reg";
  std::string message;
  ASSERT_EQ(0, Tool({"export", tree, backup}, &message)) << message;
  const std::string before = test::ReadFile(backup);

  // '"' and '\' as overlong UTF-8 (C0 A2, C1 9C), which the quoting passes.
  const std::string base = "HKEY_LOCAL_MACHINE\\" + WithoutTrailingSeparator(kBaseKeyPath);
  auto overlong = [](std::string text) {
    std::string out;
    for (char c : text) out += c == '"' ? "\xC0\xA2" : c == '\\' ? "\xC1\x9C" : std::string(1, c);
    return out;
  };
  // Written between quotes and followed by "=dword:00000001, each line of
  // the name reads as a line of its own.
  const std::string planted[] = {
      overlong("x\"=dword:1\r\n[" + base + "]\r\n\"" + digestName +
               "\"=hex:00,11,22,33,44,55,66,77,88,99,aa,bb,cc,dd,ee,ff,00,11,22,33\r\n\"y"),
      overlong("x\"=dword:1\r\n[-" + base + "]\r\n[HKEY_LOCAL_MACHINE\\" + userInfo + "]\r\n\"y"),
  };
  for (const std::string &name : planted) {
    SCOPED_TRACE(Escaped(name));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4));
    EXPECT_EQ(1, Tool({"export", tree, backup, "/y"}, &message));
    EXPECT_NE(std::string::npos,
              message.find("key HKEY_LOCAL_MACHINE\\" + userInfo + ": the value name \"x\\xc0\\xa2=dword:1\\r\\n["))
        << message;
    EXPECT_EQ(before, test::ReadFile(backup)) << "the backup was replaced";
    const std::string fresh = root() + "/fresh.reg";
    EXPECT_EQ(1, Tool({"export", tree, fresh}, &message));
    struct stat st;
    EXPECT_NE(0, lstat(fresh.c_str(), &st)) << "a refused export left a file";
    unlink(fresh.c_str());
    // The administrator restores the backup: the base key is as it was.
    EXPECT_EQ(0, Tool({"import", backup}, &message)) << message;
    Bytes now;
    EXPECT_EQ(ERROR_SUCCESS, test::ReadRawValue(kBaseKeyPath, digestName, &now));
    EXPECT_EQ(digest, now);
    ASSERT_EQ(ERROR_SUCCESS, posix::RegDeleteValueA(key, name.c_str()));
  }
  RegCloseKey(key);
}

}  // namespace
}  // namespace ambercrypt::regfile
