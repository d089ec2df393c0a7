// The registry contract the library relies on, on both targets: keys made with
// their intermediate keys, names without regard to case, the errors for a
// missing key or value and a short buffer, deletion refused with subkeys.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/test_support.h"

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

}  // namespace
}  // namespace ambercrypt
