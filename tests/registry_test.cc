// The registry contract the library relies on, on both targets: keys made with
// their intermediate keys, names without regard to case (ASCII and beyond),
// the errors and outputs for a missing key or value, a bad path and a short
// buffer, strings kept with their terminating NUL, deletion refused with
// subkeys.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/test_support.h"

#if !defined(_WIN32)
#include <sqlite3.h>
#endif

namespace ambercrypt {
namespace {

const char kKey[] = "SOFTWARE\\Dravelo\\Tests\\Deep\\Er";

class RegistryTest : public test::StoreTest {};

TEST_F(RegistryTest, CreatesIntermediateKeysAndComparesWithoutCase) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_ALL_ACCESS, nullptr, &key, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
  DWORD value = 0x12345678;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "MixedCase", 0, REG_DWORD, reinterpret_cast<BYTE *>(&value), 4));
  RegCloseKey(key);

  EXPECT_TRUE(test::KeyExists("SOFTWARE\\Dravelo\\Tests"));
  HKEY again = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\DRAVELO\\tests\\deep\\er", 0, nullptr,
                                           REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &again, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
  DWORD read = 0, size = 4, type = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(again, "MIXEDcase", nullptr, &type, reinterpret_cast<BYTE *>(&read), &size));
  EXPECT_EQ(value, read);
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
  RegCloseKey(again);
}

TEST_F(RegistryTest, MissingKeysAndValuesAndShortBuffers) {
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key));
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "Blob", REG_BINARY, test::Bytes(20, 7)));
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key));
  uint8_t buffer[32];
  memset(buffer, 0xcc, sizeof buffer);
  DWORD size = sizeof buffer;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "Absent", nullptr, nullptr, buffer, &size));
  size = 19;
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, "Blob", nullptr, nullptr, buffer, &size));
  EXPECT_EQ(20u, size);
  EXPECT_EQ(0xcc, buffer[19]);  // never past the caller's buffer
  size = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Blob", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(20u, size);
  size = 20;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "blob", nullptr, nullptr, buffer, &size));
  EXPECT_EQ(test::Bytes(20, 7), test::Bytes(buffer, buffer + 20));
  RegCloseKey(key);
}

TEST_F(RegistryTest, StringsAndOverwrites) {
  const char text[] = "C:\\bsp\\module.dll";
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "path", REG_SZ, test::Bytes(text, text + sizeof text)));
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "Count", REG_DWORD, test::Bytes{1, 0, 0, 0}));
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "count", REG_BINARY, test::Bytes{9, 9}));
  test::Bytes data;
  DWORD type = 0;
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(kKey, "PATH", &data, &type));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_STREQ(text, reinterpret_cast<const char *>(data.data()));
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(kKey, "Count", &data, &type));
  EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
  EXPECT_EQ((test::Bytes{9, 9}), data);
}

TEST_F(RegistryTest, DeleteRefusesKeysWithSubkeys) {
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "v", REG_DWORD, test::Bytes(4, 0)));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dravelo\\Tests\\Deep"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey));
  EXPECT_FALSE(test::KeyExists(kKey));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "software\\dravelo\\tests\\deep"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dravelo\\Tests\\Deep"));
}

TEST_F(RegistryTest, KeyNamesHoldSlashAndPlus) {
  const char path[] = "SOFTWARE\\Dravelo\\Tests\\ab/cd+ef=";
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(path, "v", REG_DWORD, test::Bytes(4, 1)));
  EXPECT_TRUE(test::KeyExists(path));
  EXPECT_FALSE(test::KeyExists("SOFTWARE\\Dravelo\\Tests\\ab"));
}

TEST_F(RegistryTest, NullDaclSecurityIsAccepted) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  DWORD value = 5;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "before", 0, REG_DWORD, reinterpret_cast<BYTE *>(&value), 4));
  uint8_t descriptor[256];
  ASSERT_TRUE(InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(descriptor, TRUE, nullptr, TRUE));
  EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "after", 0, REG_DWORD, reinterpret_cast<BYTE *>(&value), 4));
  RegCloseKey(key);
  test::Bytes data;
  EXPECT_EQ(ERROR_SUCCESS, test::ReadRawValue(kKey, "before", &data));
  EXPECT_EQ(ERROR_SUCCESS, test::ReadRawValue(kKey, "after", &data));
}

TEST_F(RegistryTest, ReadOnlyHandleCannotWrite) {
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "v", REG_DWORD, test::Bytes(4, 1)));
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key));
  DWORD value = 2;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExA(key, "v", 0, REG_DWORD, reinterpret_cast<BYTE *>(&value), 4));
  RegCloseKey(key);
}

// Text as the "A" functions take it, in the ANSI code page: UTF-8 on Linux.
// Empty when the code page cannot hold it.
std::string Ansi(const std::u16string &text) {
#if defined(_WIN32)
  BOOL lost = FALSE;
  const auto *wide = reinterpret_cast<const wchar_t *>(text.c_str());
  std::string out(4 * text.size() + 1, '\0');
  int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, &out[0], static_cast<int>(out.size()), nullptr,
                              &lost);
  return n > 0 && !lost ? std::string(out.c_str()) : std::string();
#else
  std::string out;
  for (char16_t c : text) {  // the cases below hold no surrogate pairs
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
#endif
}

// Windows compares key and value names by their upper case in Unicode, not
// only in ASCII: letters of the ANSI code page beyond ASCII fold too, and a
// letter without a one-letter upper case (sharp s) stays itself.
TEST_F(RegistryTest, NamesFoldBeyondAscii) {
  struct Case {
    std::u16string created, opened;
    bool same;
  } cases[] = {
      {u"\u00e4rzte", u"\u00c4RZTE", true},           // a umlaut
      {u"caf\u00e9", u"CAF\u00c9", true},             // e acute
      {u"\u00f8re", u"\u00d8RE", true},               // o stroke
      {u"\u0161koda", u"\u0160KODA", true},           // s caron (0x9A/0x8A in Windows-1252)
      {u"\u0153uvre", u"\u0152UVRE", true},           // oe ligature
      {u"\u00ff", u"\u0178", true},                   // y diaeresis, whose capital lies outside Latin-1
      {u"stra\u00dfe", u"STRASSE", false},             // sharp s has no one-letter upper case
      {u"\u00e4rzte", u"arzte", false},
      // Letters whose capital maps back to another letter keep their own
      // names: long s, dotless i, final sigma, the micro sign, and a title-case
      // letter. (Windows-1252 holds none of them beside its partner.)
      {u"\u017fettings", u"Settings", false},
      {u"\u0131con", u"Icon", false},
      {u"\u03c2", u"\u03c3", false},
      {u"\u00b5", u"\u03bc", false},
      {u"\u01c5", u"\u01c4", false},
  };
  for (const Case &c : cases) {
    std::string created = Ansi(c.created), opened = Ansi(c.opened);
    if (created.empty() || opened.empty()) {
#if defined(_WIN32)
      continue;  // not in this code page
#else
      FAIL() << "UTF-8 holds every name";
#endif
    }
    std::string base = std::string(kKey) + "\\";
    ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue((base + created).c_str(), created.c_str(), REG_DWORD, test::Bytes(4, 1)));
    EXPECT_EQ(c.same, test::KeyExists((base + opened).c_str())) << opened;
    test::Bytes data;
    EXPECT_EQ(c.same ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND,
              test::ReadRawValue((base + created).c_str(), opened.c_str(), &data)) << opened;
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, (base + created).c_str()));
  }
}

// A key name may hold 255 characters, however many bytes the code page
// spends on them.
TEST_F(RegistryTest, KeyNamesAreMeasuredInCharacters) {
  const std::string longest = Ansi(std::u16string(255, u'\u00e4')), capitals = Ansi(std::u16string(255, u'\u00c4'));
  ASSERT_FALSE(longest.empty());
  HKEY base = nullptr, key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_ALL_ACCESS, nullptr, &base, nullptr));
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(base, longest.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                           nullptr, &key, nullptr));
  RegCloseKey(key);
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(base, capitals.c_str(), 0, KEY_READ, &key));
  RegCloseKey(key);
  RegCloseKey(base);
}

// A string set through the ANSI call keeps a terminating NUL: Windows adds one
// when the data lacks it, and counts it in every size it reports after.
TEST_F(RegistryTest, StringsKeepATerminatingNul) {
  struct Case {
    DWORD type;
    std::string given;
    std::string stored;
  } cases[] = {
      {REG_SZ, std::string("0123456789abcde"), std::string("0123456789abcde\0", 16)},
      {REG_SZ, std::string("0123456789abcde\0", 16), std::string("0123456789abcde\0", 16)},
      {REG_EXPAND_SZ, std::string("%TEMP%"), std::string("%TEMP%\0", 7)},
      {REG_MULTI_SZ, std::string("a\0b", 3), std::string("a\0b\0", 4)},
      {REG_SZ, std::string(), std::string()},
      {REG_BINARY, std::string("abc"), std::string("abc")},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(test::ToHex(test::Bytes(c.given.begin(), c.given.end())));
    // The data as C code passes a string: a NUL follows it, which Windows
    // reads to decide whether the length left one out.
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "text", 0, c.type, reinterpret_cast<const BYTE *>(c.given.c_str()),
                                            static_cast<DWORD>(c.given.size())));
    DWORD size = 0, type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "text", nullptr, &type, nullptr, &size));
    EXPECT_EQ(c.stored.size(), size);
    EXPECT_EQ(c.type, type);
    char buffer[32];
    memset(buffer, '#', sizeof buffer);
    if (c.stored.size() > 1) {
      size = static_cast<DWORD>(c.stored.size() - 1);
      EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, "text", nullptr, nullptr, reinterpret_cast<BYTE *>(buffer), &size));
      EXPECT_EQ(c.stored.size(), size);
    }
    size = sizeof buffer;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "text", nullptr, nullptr, reinterpret_cast<BYTE *>(buffer), &size));
    EXPECT_EQ(test::ToHex(test::Bytes(c.stored.begin(), c.stored.end())),
              test::ToHex(test::Bytes(buffer, buffer + size)));
    RegCloseKey(key);
  }
}

// A REG_SZ value whose data has no terminating NUL, as only another program
// (through Windows' wide call) or an older store can leave one: handed out as
// stored, with a NUL written into a spare byte of the caller's buffer but not
// counted.
TEST_F(RegistryTest, AnUnterminatedStringGetsANulInASpareByte) {
  const std::string text = "0123456789abcde";
#if defined(_WIN32)
  HKEY made = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_ALL_ACCESS, nullptr, &made, nullptr));
  // Followed by a character that is not NUL: the wide call, too, counts a
  // NUL that follows the data as the data's own.
  const std::wstring wide(text.begin(), text.end());
  const std::wstring followed = wide + L"X";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(made, L"text", 0, REG_SZ, reinterpret_cast<const BYTE *>(followed.data()),
                                          static_cast<DWORD>(wide.size() * sizeof(wchar_t))));
  RegCloseKey(made);
#else
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "text", REG_SZ, test::Bytes(1, 0)));
  sqlite3 *db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open_v2((root() + "/registry.db").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr));
  sqlite3_stmt *update = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "UPDATE vals SET data = ? WHERE fold = 'text'", -1, &update, nullptr));
  sqlite3_bind_blob(update, 1, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
  EXPECT_EQ(SQLITE_DONE, sqlite3_step(update));
  EXPECT_EQ(1, sqlite3_changes(db));
  sqlite3_finalize(update);
  sqlite3_close(db);
#endif
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key));
  struct Case {
    DWORD capacity;
    std::string after;  // the buffer's first 17 bytes after the call
  } cases[] = {
      {15, text + "##"},
      {16, text + std::string("\0#", 2)},
      {17, text + std::string("\0#", 2)},
  };
  for (const Case &c : cases) {
    char buffer[17];
    memset(buffer, '#', sizeof buffer);
    DWORD size = c.capacity;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "text", nullptr, nullptr, reinterpret_cast<BYTE *>(buffer), &size));
    EXPECT_EQ(15u, size);
    EXPECT_EQ(test::ToHex(test::Bytes(c.after.begin(), c.after.end())), test::ToHex(test::Bytes(buffer, buffer + 17)))
        << c.capacity;
  }
  RegCloseKey(key);
}

// What a failed open or query leaves in its outputs, and paths Windows refuses.
TEST_F(RegistryTest, FailuresClearTheirOutputs) {
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "v", REG_DWORD, test::Bytes(4, 1)));
  HKEY key = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1234));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dravelo\\Absent", 0, KEY_READ, &key));
  EXPECT_EQ(nullptr, key);

  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key));
  // A missing value's type reads 0; a size query answers a size of 0, a read
  // into a buffer leaves the size as it was.
  uint8_t buffer[8];
  for (bool withBuffer : {false, true}) {
    DWORD size = sizeof buffer, type = 0x5555;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegQueryValueExA(key, "Absent", nullptr, &type, withBuffer ? buffer : nullptr, &size));
    EXPECT_EQ(withBuffer ? sizeof buffer : 0u, size) << withBuffer;
    EXPECT_EQ(0u, type) << withBuffer;
  }
  RegCloseKey(key);

  const char leading[] = "\\SOFTWARE\\Dravelo\\Tests";
  key = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1234));
  EXPECT_EQ(ERROR_BAD_PATHNAME, RegCreateKeyExA(HKEY_LOCAL_MACHINE, leading, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                KEY_ALL_ACCESS, nullptr, &key, nullptr));
  EXPECT_EQ(nullptr, key);
  key = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1234));
  EXPECT_EQ(ERROR_BAD_PATHNAME, RegOpenKeyExA(HKEY_LOCAL_MACHINE, leading, 0, KEY_READ, &key));
  EXPECT_EQ(nullptr, key);
  EXPECT_FALSE(test::KeyExists("SOFTWARE\\Dravelo\\Tests\\Tests"));
}

}  // namespace
}  // namespace ambercrypt
