// bir.cc: ambercrypt-admin sign-bir and verify-bir, BIR files signed with an
// application's signing certificate (see command.h). The tool names the
// application to the library's administration side, as a call naming it
// would, and the library then signs and verifies for it.
//
// BIR file (little-endian): the 8 bytes "ACBIR\x01\r\n"; the 52 bytes of
// BioAPI_BIR_HEADER as laid out in ambercrypt.h; the biometric data length
// (uint32) and the data; the security block length (uint32, 0 when there is
// none) and the block.
#include <cstring>
#include <string>

#include "ambercrypt/ambercrypt.h"
#include "tools/admin/command.h"
#include "tools/admin/files.h"

namespace ambercrypt::admin {

namespace {

const uint8_t kBirMagic[8] = {'A', 'C', 'B', 'I', 'R', 0x01, '\r', '\n'};

struct BirFile {
  BioAPI_BIR_HEADER header{};
  FileBytes data;
  FileBytes block;
  bool hasBlock = false;
};

uint32_t Le32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void PutLe32(FileBytes *out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

bool ParseBir(const FileBytes &bytes, BirFile *bir, std::string *error) {
  const size_t headerAt = sizeof kBirMagic, lengthAt = headerAt + sizeof(BioAPI_BIR_HEADER);
  if (bytes.size() < lengthAt + 8 || std::memcmp(bytes.data(), kBirMagic, sizeof kBirMagic) != 0) {
    *error = "not a BIR file (see ambercrypt-admin sign-bir --help)";
    return false;
  }
  std::memcpy(&bir->header, bytes.data() + headerAt, sizeof bir->header);
  size_t at = lengthAt;
  uint32_t dataLength = Le32(&bytes[at]);
  at += 4;
  if (bytes.size() - at < static_cast<size_t>(dataLength) + 4) {
    *error = "BIR file cut short";
    return false;
  }
  bir->data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                   bytes.begin() + static_cast<std::ptrdiff_t>(at + dataLength));
  at += dataLength;
  uint32_t blockLength = Le32(&bytes[at]);
  at += 4;
  if (bytes.size() - at != blockLength) {
    *error = "BIR file: the security block length does not match the file";
    return false;
  }
  bir->block.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end());
  bir->hasBlock = blockLength != 0;
  return true;
}

FileBytes SerializeBir(const BioAPI_BIR &bir) {
  FileBytes out(kBirMagic, kBirMagic + sizeof kBirMagic);
  const uint8_t *header = reinterpret_cast<const uint8_t *>(&bir.Header);
  out.insert(out.end(), header, header + sizeof bir.Header);
  PutLe32(&out, bir.BiometricData.Length);
  out.insert(out.end(), bir.BiometricData.Data, bir.BiometricData.Data + bir.BiometricData.Length);
  uint32_t blockLength = bir.SecurityBlock.Data != nullptr ? bir.SecurityBlock.Length : 0;
  PutLe32(&out, blockLength);
  if (blockLength != 0) out.insert(out.end(), bir.SecurityBlock.Data, bir.SecurityBlock.Data + blockLength);
  return out;
}

// Reads the BIR file at path (with raw, bare biometric data) into *bir.
bool ReadBir(const std::string &path, bool raw, BirFile *bir, std::string *error) {
  FileBytes bytes;
  if (!ReadFileBytes(path, &bytes, error)) return false;
  if (raw) {
    bir->data = bytes;
    return true;
  }
  if (ParseBir(bytes, bir, error)) return true;
  *error = path + ": " + *error;
  return false;
}

// What both commands start with: the BIR file read first (a file that
// cannot be used costs no attach), then the library attached and addressing
// the application, and the record pointing into the file's bytes.
class ApplicationBir {
 public:
  // False when the command has failed; *status is then its exit status.
  bool Load(const Options &options, const std::string &path, bool raw, int *status) {
    std::string error;
    if (!ReadBir(path, raw, &file_, &error)) {
      *status = Fail(error);
      return false;
    }
    if (!call_.Prepare(options, false)) {
      *status = kExitFailure;
      return false;
    }
    if (!adminlib::SelectApplication(options.args[0])) {
      *status = Report(AMBER_ERROR_FLAG | AMBER_E_BAD_APPLICATION_NAME, "");
      return false;
    }
    record_.Header = file_.header;
    record_.BiometricData.Length = static_cast<uint32_t>(file_.data.size());
    record_.BiometricData.Data = file_.data.data();
    record_.SecurityBlock.Length = static_cast<uint32_t>(file_.block.size());
    record_.SecurityBlock.Data = file_.hasBlock ? file_.block.data() : nullptr;
    return true;
  }
  BioAPI_BIR &record() { return record_; }

 private:
  ExportCall call_;
  BirFile file_;
  BioAPI_BIR record_{};
};

}  // namespace

int SignBir(const Options &options) {
  if (options.args.size() != 3) return UsageOf("sign-bir");
  const std::string &app = options.args[0], &out = options.args[2];
  ApplicationBir input;
  int status = 0;
  if (!input.Load(options, options.args[1], options.raw, &status)) return status;
  // The biometric data is signed anew: an old signature is not the input's.
  BioAPI_BIR &in = input.record();
  in.SecurityBlock = {};
  // The signed message's size first, then the BIR signed into buffers of it.
  BioAPI_BIR signedBir{};
  uint32_t code = KoBioSPI_DigitalSignBIR(&in, &signedBir);
  if (code != AMBER_OK) return Report(code, "");
  FileBytes data(in.BiometricData.Length + 1), block(signedBir.SecurityBlock.Length);
  signedBir.BiometricData.Data = data.data();
  signedBir.SecurityBlock.Data = block.data();
  code = KoBioSPI_DigitalSignBIR(&in, &signedBir);
  if (code != AMBER_OK) return Report(code, "");
  std::string error;
  if (!WriteFileBytes(out, SerializeBir(signedBir), &error)) return Fail(error);
  return Report(code, out + ": signed for " + app + " (" + std::to_string(signedBir.BiometricData.Length) +
                          " bytes of data, " + std::to_string(signedBir.SecurityBlock.Length) + "-byte signature)");
}

int VerifyBir(const Options &options) {
  if (options.args.size() != 2) return UsageOf("verify-bir");
  const std::string &app = options.args[0], &path = options.args[1];
  ApplicationBir bir;
  int status = 0;
  if (!bir.Load(options, path, false, &status)) return status;
  return Report(KoBioSPI_VerifyReferenceBIR(&bir.record()), path + ": signature verified for " + app);
}

}  // namespace ambercrypt::admin
