// make_seeds: writes seed inputs made by this build (Linux) into the corpus
// directories under the directory given: BIRs encrypted and signed by the
// library against the fuzz store, messages signed by the Linux layer, and
// challenges answered over recorded outcomes. scripts/fuzz_seeds.sh runs it
// and adds the seeds made from the Windows reference messages.
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/ccrypt.h"
#include "fuzz/fuzz_store.h"

namespace {

using namespace ambercrypt::fuzz;
using Bytes = std::vector<uint8_t>;

std::string g_out;

void Put(const std::string &target, const std::string &name, const Bytes &bytes) {
  std::string dir = g_out + "/" + target;
  mkdir(dir.c_str(), 0755);
  std::ofstream(dir + "/" + name, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                          static_cast<std::streamsize>(bytes.size()));
}

void U16(Bytes &b, size_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Blob(Bytes &b, const uint8_t *p, size_t n) {
  U16(b, n);
  b.insert(b.end(), p, p + n);
}

// A record as ReadBir decodes it.
Bytes EncodeBir(const BioAPI_BIR &bir) {
  Bytes b;
  bool block = bir.SecurityBlock.Data != nullptr && bir.SecurityBlock.Length > 0;
  b.push_back(block ? 0x20 : 0x00);
  const uint8_t *h = reinterpret_cast<const uint8_t *>(&bir.Header);
  b.insert(b.end(), h, h + sizeof bir.Header);
  Blob(b, bir.BiometricData.Data, bir.BiometricData.Length);
  if (block) Blob(b, bir.SecurityBlock.Data, bir.SecurityBlock.Length);
  return b;
}

void OutputShape(Bytes &b, uint16_t data, uint16_t block);

void I32(Bytes &b, int32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
}
void Append(Bytes &b, const Bytes &more) { b.insert(b.end(), more.begin(), more.end()); }

Bytes FromHex(const std::string &hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// A record whose data is the given bytes (and security block, when any).
Bytes EncodeData(const Bytes &data, uint8_t type, const Bytes &block = {}) {
  BioAPI_BIR bir{};
  bir.Header.HeaderVersion = 2;
  bir.Header.Type = type;
  Bytes d(data), b(block);
  bir.BiometricData = {static_cast<uint32_t>(d.size()), d.empty() ? nullptr : d.data()};
  bir.SecurityBlock = {static_cast<uint32_t>(b.size()), b.empty() ? nullptr : b.data()};
  return EncodeBir(bir);
}

// A challenge record with a response buffer of the given capacity.
Bytes ChallengeRecord(uint16_t capacity) {
  Bytes b = {0, 0, 0, 0, 0, 0, 0, 0, 0};
  U16(b, capacity);
  return b;
}

// The steps of the sequence target: an export's ordinal as the step.
Bytes Step(int ordinal) { return Bytes{static_cast<uint8_t>(ordinal - 1)}; }

// Seeds from the vectors the Windows build writes (cross_target_test.exe
// with AMBERCRYPT_VECTORS_OUT): its signed messages, its signed BIR, its
// BIRs encrypted with the key "Secret12".
void WindowsSeeds(const std::string &path) {
  std::ifstream in(path);
  std::string name, hex;
  int made = 0;
  while (in >> name >> hex) {
    Bytes value = FromHex(hex);
    if (name.rfind("sign-", 0) == 0) {
      Bytes seed = {0x21};
      Append(seed, value);
      Put("fuzz_signed_message", "windows-" + name, seed);
    } else if (name == "signedbir") {
      // Over the cross-target test's content, Pattern(700, 90).
      Bytes content(90);
      uint32_t x = 700 * 2654435761u + 12345u;
      for (uint8_t &c : content) {
        x = x * 1103515245u + 12345u;
        c = static_cast<uint8_t>(x >> 16);
      }
      Bytes seed = {1};
      Append(seed, EncodeData(content, 0x20, value));
      Put("fuzz_KoBioSPI_VerifyReferenceBIR", "windows-signedbir", seed);
      seed = {0x21};
      Append(seed, value);
      Put("fuzz_signed_message", "windows-signedbir", seed);
    } else if (name.rfind("bir-26128-", 0) == 0 || name.rfind("bir-26115-", 0) == 0) {
      bool aes = name.rfind("bir-26128-", 0) == 0;
      Bytes seed = EncodeData(value, 0x14);
      seed.push_back(0);
      OutputShape(seed, static_cast<uint16_t>(value.size()), 0);
      if (aes) Put("fuzz_KoBioFPI_DecryptBIR", "windows-" + name, seed);
      // The Kiosk (3DES) host decrypts the other.
      Bytes sequence = {21, 1};
      Append(sequence, Step(2));
      Append(sequence, seed);
      Put("fuzz_sequence", "windows-decrypt-" + name, aes ? Bytes(sequence.begin() + 2, sequence.end()) : sequence);
    } else {
      continue;
    }
    ++made;
  }
  printf("%d seeds from %s\n", made, path.c_str());
}

std::string ReadData(const char *name) {
  std::ifstream in(std::string(AMBERCRYPT_FUZZ_DATA_DIR) + "/" + name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

Bytes ToBytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

// The reg_value target: values under the names the library reads.
// Selector: bits 0-1 the key (base, application, UserInfo, BSP), 0x10 a
// valid ciphertext of the bytes, 0x20 a type of the input's own; then the
// name's index (kAllSettings order; 36 and up: "path"), the bytes, the type.
void RegistryValueSeeds() {
  struct Case {
    const char *file;
    uint8_t selector, index;
    Bytes bytes;
    uint8_t type;  // index into the target's type table
  };
  const Case cases[] = {
      {"linux-mode-as-dword", 1, 5, {4, 0, 0, 0}, 3},
      {"linux-mode-as-short-binary", 1, 5, {0xAA, 0xBB}, 2},
      {"linux-installation-number-as-text", 0, 1, ToBytes(std::string("4321\0", 5)), 1},
      {"linux-max-failures-huge-number", 0x11, 15, ToBytes("99999999999999999999"), 0},
      {"linux-max-failures-not-a-number", 0x11, 15, ToBytes("-x3"), 0},
      {"linux-secret-key-block-short", 0x11, 2, Bytes(63, 'S'), 0},
      {"linux-failure-count-empty", 0x12, 30, {}, 0},
      {"linux-release-time-as-qword", 2, 28, {1, 2, 3, 4, 5, 6, 7, 8}, 6},
      {"linux-bsp-path-unterminated", 3, 36, ToBytes("/nonexistent/module.so"), 1},
      {"linux-password-digest-long", 0, 0, Bytes(300, 0x5A), 2},
      {"linux-key-text-length-wrong", 0x11, 25, ToBytes("300"), 0},
  };
  for (const Case &c : cases) {
    Bytes seed = {c.selector, c.index};
    Blob(seed, c.bytes.data(), c.bytes.size());
    if (!(c.selector & 0x10)) seed.push_back(c.type);
    Put("fuzz_reg_value", c.file, seed);
  }
}

// The cert_store target: selector (bits 0-1 how the certificate is planted,
// 4 a key file, 8 the key as PEM of its bytes, 16 the key beside the
// certificate, 32 sign and verify with it), the key's bytes, the
// certificate's bytes.
void CertificateSeeds() {
  const std::string pem = ReadData("signer.cert.pem"), key = ReadData("signer.key.pem");
  BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  X509 *cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  unsigned char *der = nullptr;
  int n = cert ? i2d_X509(cert, &der) : 0;
  Bytes derBytes(der, der + (n > 0 ? n : 0));
  OPENSSL_free(der);
  X509_free(cert);
  auto put = [](const char *name, uint8_t selector, const std::string &keyBytes, const Bytes &certBytes) {
    Bytes seed = {selector};
    Blob(seed, reinterpret_cast<const uint8_t *>(keyBytes.data()), keyBytes.size());
    Append(seed, certBytes);
    Put("fuzz_cert_store", name, seed);
  };
  put("linux-signer-pem-key-beside-signs", 0x34, key, ToBytes(pem));
  put("linux-signer-pem-key-elsewhere", 0x04, key, ToBytes(pem));
  put("linux-signer-der", 0x02, "", derBytes);
  put("linux-signer-der-as-pem", 0x01, "", derBytes);
  put("linux-signer-crt-and-cer", 0x03, "", derBytes);
  Bytes cut(derBytes.begin(), derBytes.begin() + static_cast<long>(derBytes.size() / 2));
  put("linux-signer-der-cut", 0x02, "", cut);
}

// An output record of the given capacities.
void OutputShape(Bytes &b, uint16_t data, uint16_t block) {
  b.push_back(0);
  U16(b, data);
  U16(b, block);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2 && argc != 3) return 2;
  g_out = argv[1];
  SetUpStore();
  ResetHostState();

  Bytes plain(48);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 7 + 1);
  BioAPI_BIR input{};
  input.Header.HeaderVersion = 2;
  input.Header.Type = 0x04;
  input.Header.Quality = 77;
  input.BiometricData = {static_cast<uint32_t>(plain.size()), plain.data()};

  // Encrypted by the host's AES-256 key: a size query, then the record.
  BioAPI_BIR sized{};
  if (KoBioFPI_EncryptBIR(&input, &sized) != 0) return 1;
  Bytes cipher(sized.BiometricData.Length);
  BioAPI_BIR encrypted{};
  encrypted.BiometricData = {static_cast<uint32_t>(cipher.size()), cipher.data()};
  if (KoBioFPI_EncryptBIR(&input, &encrypted) != 0) return 1;
  Bytes seed = EncodeBir(encrypted);
  seed.push_back(0);
  OutputShape(seed, static_cast<uint16_t>(cipher.size()), 0);
  Put("fuzz_KoBioFPI_DecryptBIR", "linux-aes256-48", seed);
  seed = EncodeBir(input);
  seed.push_back(0);
  OutputShape(seed, static_cast<uint16_t>(cipher.size()), 0);
  Put("fuzz_KoBioFPI_EncryptBIR", "linux-plain-48", seed);

  // Signed by the host's certificate.
  BioAPI_BIR signedSize{};
  AddressApplication(kHostName);
  if (KoBioSPI_DigitalSignBIR(&input, &signedSize) != 0) return 1;
  Bytes data(plain), block(signedSize.SecurityBlock.Length);
  BioAPI_BIR signedBir{};
  signedBir.BiometricData = {static_cast<uint32_t>(data.size()), data.data()};
  signedBir.SecurityBlock = {static_cast<uint32_t>(block.size()), block.data()};
  if (KoBioSPI_DigitalSignBIR(&input, &signedBir) != 0) return 1;
  seed = {1};  // the host
  Bytes bir = EncodeBir(signedBir);
  seed.insert(seed.end(), bir.begin(), bir.end());
  Put("fuzz_KoBioSPI_VerifyReferenceBIR", "linux-signed-48", seed);
  Bytes message(signedBir.SecurityBlock.Data, signedBir.SecurityBlock.Data + signedBir.SecurityBlock.Length);
  seed = {0x21};  // size query, then content; with the signer
  seed.insert(seed.end(), message.begin(), message.end());
  Put("fuzz_signed_message", "linux-signed-48", seed);
  seed = {1};
  bir = EncodeBir(input);
  seed.insert(seed.end(), bir.begin(), bir.end());
  OutputShape(seed, static_cast<uint16_t>(plain.size()), static_cast<uint16_t>(block.size()));
  Put("fuzz_KoBioSPI_DigitalSignBIR", "linux-plain-48", seed);

  // Challenges over a recorded outcome: a failed verification of the
  // plaintext, an identification with two candidates.
  Bytes record = {1, 1};  // the host; a verify outcome follows
  Append(record, EncodeData(plain, 0x04));
  I32(record, 42);
  record.push_back(80);
  Append(record, Bytes{1});  // the known challenge
  Append(record, ChallengeRecord(512));
  Put("fuzz_KoBioSPI_VerifyChallenge", "linux-hmac-answer", record);
  Bytes sizeOnly(record.begin(), record.end() - 11);
  Append(sizeOnly, Bytes{8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // a null buffer: the size is asked
  Put("fuzz_KoBioSPI_VerifyChallenge", "linux-size-query", sizeOnly);
  record = {1, 4, 2};  // two candidates: index and rate of each
  I32(record, 0);
  I32(record, 5);
  I32(record, 1);
  I32(record, 9);
  record.push_back(90);
  Append(record, Bytes{1});
  Append(record, ChallengeRecord(2048));
  Put("fuzz_KoBioSPI_IdentifyChallenge", "linux-signed-answer", record);

  // The sequence target: a verification's road, then failures until the lock.
  Bytes road;
  Append(road, Step(1));
  I32(road, 0x10);
  Append(road, Step(7));
  Append(road, EncodeData(plain, 0x04));
  Append(road, Bytes{0, 0});
  I32(road, 10);
  Append(road, Step(6));
  road.push_back(1);
  Append(road, EncodeData(plain, 0x04));
  I32(road, 7);
  road.push_back(60);
  Append(road, Step(18));
  Append(road, Bytes{1, 0, 1});
  Append(road, ChallengeRecord(256));
  Put("fuzz_sequence", "linux-verify-road", road);
  Bytes lock;
  for (int i = 0; i < 4; ++i) {
    Append(lock, Step(6));
    lock.push_back(0);
    Append(lock, EncodeData(plain, 0x04));
    I32(lock, 7);
    lock.push_back(10);
    Append(lock, Step(7));
    Append(lock, EncodeData(plain, 0x04));
    Append(lock, Bytes{0, 0});
    I32(lock, 10);
  }
  Append(lock, Bytes{20, 6, 0});  // six minutes on: the lock has run out
  Append(lock, Step(7));
  Append(lock, EncodeData(plain, 0x04));
  Append(lock, Bytes{0, 0});
  I32(lock, 10);
  Put("fuzz_sequence", "linux-verify-lockout", lock);
  Bytes identify;
  for (int i = 0; i < 4; ++i) {
    Append(identify, Step(5));
    Append(identify, Bytes{0, 0, 20});  // no candidate: a failure
    Append(identify, Step(4));
    identify.push_back(0);
    identify.push_back(0);
    I32(identify, 10);
  }
  Append(identify, Step(10));
  Append(identify, Bytes{1, 0, 1});
  Append(identify, ChallengeRecord(2048));
  Put("fuzz_sequence", "linux-identify-lockout", identify);
  // Administration of a new application, then its use.
  Bytes admin;
  Append(admin, Step(15));
  Append(admin, Bytes{4, 6, 0, 'N', 'e', 'w', 'A', 'p', 'p'});
  Bytes tail;
  I32(tail, 4);
  I32(tail, 0);
  Append(admin, Bytes(tail.begin(), tail.end()));
  admin.push_back(1);
  Append(admin, Step(13));
  Append(admin, Bytes{2, 0});  // the Kiosk, AES-256
  Append(admin, Bytes{1, 1});
  Append(admin, Step(8));
  Append(admin, Bytes{4, 6, 0, 'N', 'e', 'w', 'A', 'p', 'p'});
  Put("fuzz_sequence", "linux-administration", admin);

  RegistryValueSeeds();
  CertificateSeeds();
  if (argc > 2) WindowsSeeds(argv[2]);
  printf("seeds written to %s\n", g_out.c_str());
  return 0;
}
