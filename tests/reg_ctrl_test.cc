// CRegCtrl: the plain and encrypted encodings, their sizes, and what bad
// stored data gives.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "store/identity.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"
#include "support/test_support.h"

namespace ambercrypt {
namespace {

const char kKey[] = "SOFTWARE\\Dravelo\\BioAPI\\Ambervault\\WinCrypto\\RegCtrlTest";

class RegCtrlTest : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    material_ = BuildKeyMaterial(1234);
    other_ = BuildKeyMaterial(4321);
    ASSERT_TRUE(reg_.Open(kKey, 1, KEY_ALL_ACCESS));
  }
  size_t StoredSize(const char *name) {
    test::Bytes data;
    EXPECT_EQ(ERROR_SUCCESS, test::ReadRawValue(kKey, name, &data));
    return data.size();
  }
  CRegCtrl reg_;
  CSecureBuffer material_;
  CSecureBuffer other_;
};

TEST_F(RegCtrlTest, EncryptedIntegersAndTheirSizes) {
  struct Case {
    int64_t value;
    size_t stored;
  };
  const Case cases[] = {{0, 8}, {-5, 8}, {1234567, 8}, {12345678, 16}, {INT32_MIN, 16}, {INT64_MIN, 24}};
  for (const Case &c : cases) {
    if (c.value >= INT32_MIN && c.value <= INT32_MAX) {
      ASSERT_EQ(0u, reg_.SetEncryptedInt("n", static_cast<int32_t>(c.value), material_.data(), material_.size()));
      int32_t read = 99;
      ASSERT_EQ(0u, reg_.QueryEncryptedInt("n", &read, material_.data(), material_.size()));
      EXPECT_EQ(c.value, read);
    } else {
      ASSERT_EQ(0u, reg_.SetEncryptedInt64("n", c.value, material_.data(), material_.size()));
    }
    EXPECT_EQ(c.stored, StoredSize("n")) << c.value;
    int64_t wide = 99;
    ASSERT_EQ(0u, reg_.QueryEncryptedInt64("n", &wide, material_.data(), material_.size()));
    EXPECT_EQ(c.value, wide);
  }
}

TEST_F(RegCtrlTest, OtherKeyMaterialFailsAndLeavesTheOutput) {
  ASSERT_EQ(0u, reg_.SetEncryptedInt("n", 42, material_.data(), material_.size()));
  int32_t value = 7;
  EXPECT_NE(0u, reg_.QueryEncryptedInt("n", &value, other_.data(), other_.size()));
  EXPECT_EQ(7, value);
  uint8_t block[16] = {0};
  ASSERT_EQ(0u, reg_.SetEncryptedBinary("b", block, 16, material_.data(), material_.size()));
  uint8_t out[16];
  memset(out, 0xaa, sizeof out);
  uint32_t length = 16;
  EXPECT_NE(0u, reg_.QueryEncryptedBinary("b", out, &length, other_.data(), other_.size()));
  EXPECT_EQ(test::Bytes(16, 0xaa), test::Bytes(out, out + 16));
}

TEST_F(RegCtrlTest, EncryptedBinaryNeverWritesPastTheCaller) {
  test::Bytes secret(64, 's');
  ASSERT_EQ(0u, reg_.SetEncryptedBinary("key", secret.data(), 64, material_.data(), material_.size()));
  EXPECT_EQ(72u, StoredSize("key"));
  uint8_t out[64];
  uint32_t length = 64;
  ASSERT_EQ(0u, reg_.QueryEncryptedBinary("key", out, &length, material_.data(), material_.size()));
  EXPECT_EQ(64u, length);
  EXPECT_EQ(secret, test::Bytes(out, out + 64));

  // 128 stored bytes are read when 64 are asked; the plaintext is too long.
  test::Bytes big(120, 'b');
  ASSERT_EQ(0u, reg_.SetEncryptedBinary("big", big.data(), 120, material_.data(), material_.size()));
  EXPECT_EQ(128u, StoredSize("big"));
  uint8_t guarded[64 + 8];
  memset(guarded, 0xcc, sizeof guarded);
  length = 64;
  EXPECT_EQ(static_cast<uint32_t>(ERROR_MORE_DATA),
            reg_.QueryEncryptedBinary("big", guarded, &length, material_.data(), material_.size()));
  EXPECT_EQ(test::Bytes(sizeof guarded, 0xcc), test::Bytes(guarded, guarded + sizeof guarded));

  test::Bytes bigger(130, 'b');
  ASSERT_EQ(0u, reg_.SetEncryptedBinary("bigger", bigger.data(), 130, material_.data(), material_.size()));
  EXPECT_EQ(136u, StoredSize("bigger"));
  length = 64;
  EXPECT_EQ(static_cast<uint32_t>(ERROR_MORE_DATA),
            reg_.QueryEncryptedBinary("bigger", guarded, &length, material_.data(), material_.size()));
}

TEST_F(RegCtrlTest, CorruptStoredValuesAreRefused) {
  int32_t value = 3;
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "short", REG_BINARY, test::Bytes(7, 1)));
  EXPECT_NE(0u, reg_.QueryEncryptedInt("short", &value, material_.data(), material_.size()));
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "dword", REG_DWORD, test::Bytes(4, 1)));
  EXPECT_NE(0u, reg_.QueryEncryptedInt("dword", &value, material_.data(), material_.size()));
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "huge", REG_BINARY, test::Bytes(300, 1)));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_MORE_DATA), reg_.QueryEncryptedInt("huge", &value, material_.data(), material_.size()));
  EXPECT_EQ(3, value);
  EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_NOT_FOUND),
            reg_.QueryEncryptedInt("absent", &value, material_.data(), material_.size()));
}

// An empty stored value fails in the decryption, and its error is what the
// query reports.
TEST_F(RegCtrlTest, EmptyEncryptedValuesGiveTheDecryptionsError) {
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "empty", REG_BINARY, test::Bytes()));
  ASSERT_EQ(0u, StoredSize("empty"));
  int32_t value = 3;
  EXPECT_EQ(87u, reg_.QueryEncryptedInt("empty", &value, material_.data(), material_.size()));
  EXPECT_EQ(3, value);
  int64_t wide = 4;
  EXPECT_EQ(87u, reg_.QueryEncryptedInt64("empty", &wide, material_.data(), material_.size()));
  EXPECT_EQ(4, wide);
  uint8_t out[16];
  memset(out, 0xaa, sizeof out);
  uint32_t length = 16;
  EXPECT_EQ(87u, reg_.QueryEncryptedBinary("empty", out, &length, material_.data(), material_.size()));
  EXPECT_EQ(test::Bytes(16, 0xaa), test::Bytes(out, out + 16));
}

TEST_F(RegCtrlTest, PlainValues) {
  const uint8_t digest[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  EXPECT_EQ(87u, reg_.SetBinary("d", digest, 0));
  test::Bytes data;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, test::ReadRawValue(kKey, "d", &data));
  ASSERT_EQ(0u, reg_.SetBinary("d", digest, 20));
  uint8_t out[20];
  uint32_t length = 20;
  ASSERT_EQ(0u, reg_.QueryBinary("d", out, &length));
  EXPECT_EQ(20u, length);
  EXPECT_EQ(0, memcmp(digest, out, 20));
  length = 19;
  EXPECT_EQ(static_cast<uint32_t>(ERROR_MORE_DATA), reg_.QueryBinary("d", out, &length));

  ASSERT_EQ(0u, reg_.SetDword("w", 0xdeadbeef));
  DWORD w = 0;
  ASSERT_EQ(0u, reg_.QueryDword("w", &w));
  EXPECT_EQ(0xdeadbeefu, w);

  const char path[] = "Z:\\bsp\\module.dll";
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "path", REG_SZ, test::Bytes(path, path + sizeof path)));
  char text[255];
  ASSERT_EQ(0u, reg_.QueryString("path", text));
  EXPECT_STREQ(path, text);
  EXPECT_EQ(87u, reg_.QueryDword(nullptr, &w));
}

TEST_F(RegCtrlTest, OpenWithAndWithoutCreate) {
  const char missing[] = "SOFTWARE\\Dravelo\\BioAPI\\Ambervault\\WinCrypto\\NotThere";
  CRegCtrl reader;
  EXPECT_FALSE(reader.Open(missing, 0, KEY_READ));
  EXPECT_FALSE(test::KeyExists(missing));
  EXPECT_FALSE(reader.Open(nullptr, 1, KEY_READ));
  ASSERT_TRUE(reader.Open(missing, 1, KEY_READ));
  EXPECT_TRUE(test::KeyExists(missing));
  // A created key is held with all access, whatever was asked.
  EXPECT_EQ(0u, reader.SetDword("w", 1));
  CRegCtrl again;
  ASSERT_TRUE(again.Open(missing, 1, KEY_READ));
  EXPECT_NE(0u, again.SetDword("w", 2));  // an existing key opens as asked
}

TEST(SettingsCatalogueTest, ThirtySixValuesEachDefinedOnce) {
  std::set<std::string> names;
  for (const Setting *s : kAllSettings) {
    ASSERT_NE(nullptr, s);
    EXPECT_TRUE(names.insert(s->name).second) << s->name;
    const int number = std::stoi(std::string(s->name).substr(strlen("KoSettingInfo")));
    EXPECT_EQ("KoSettingInfo" + std::to_string(number), s->name);  // no leading zeros
    for (int unused : {14, 29, 30, 31, 32, 34}) EXPECT_NE(unused, number);
    // Where each value lives, by its number.
    const bool base = number <= 2;
    const bool userInfo = number == 12 || number == 13 || number == 33 || (number >= 35 && number <= 38);
    EXPECT_EQ(base ? SettingKey::kBase : userInfo ? SettingKey::kUserInfo : SettingKey::kApplication, s->key)
        << s->name;
  }
  EXPECT_EQ(36u, names.size());
  EXPECT_EQ(SettingEncoding::kDword, settings::kInstallationNumber.encoding);
  EXPECT_EQ(SettingEncoding::kEncryptedInt64, settings::kVerifyReleaseTime.encoding);
  EXPECT_EQ(SettingEncoding::kBinary, settings::kEndUserSerial.encoding);
}

TEST(HashNameToBase64Test, AppKeyTextOfAName) {
  char out[30];
  memset(out, 'x', sizeof out);
  ASSERT_TRUE(HashNameToBase64("Scanner", out));
  EXPECT_EQ(29u, strlen(out));
  EXPECT_EQ('=', out[27]);
  EXPECT_EQ('\n', out[28]);
  memset(out, 'x', sizeof out);
  EXPECT_FALSE(HashNameToBase64("", out));
  EXPECT_EQ('x', out[0]);
}

}  // namespace
}  // namespace ambercrypt
