// ambercrypt-verify: checks a challenge response on the receiving side, with
// the ambercrypt_verifier library. Exit status: 0 valid, 1 invalid, 2 usage
// or error.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ambercrypt/verifier.h"
#include "tools/tool_platform.h"

namespace {

const char kUsage[] =
    "usage: ambercrypt-verify verify   --challenge TEXT --record FILE --response FILE\n"
    "                                  --method 40 --key-file FILE | --method 30 --cert FILE\n"
    "       ambercrypt-verify identify --challenge TEXT --record FILE --response FILE\n"
    "                                  --method 40 --key-file FILE | --method 30 --cert FILE\n"
    "                                  [--candidate INDEX:RATE]... [--count N]\n"
    "\n"
    "Checks the response of KoBioSPI_VerifyChallenge or KoBioSPI_IdentifyChallenge.\n"
    "  --challenge TEXT    the challenge the application issued; the record's must be the same\n"
    "  --record FILE       the challenge record as the library filled it, its raw bytes\n"
    "                      (VerifyChallengeRecord, 568 bytes, or IdentifyChallengeRecord, 304);\n"
    "                      its pointer and length fields are ignored\n"
    "  --response FILE     the response bytes: 20 for method 40, the PKCS#7 message for 30\n"
    "  --method 40|30      40: HMAC keyed from the key text; 30: signed by the certificate\n"
    "  --key-file FILE     method 40: the key text (one line; the line feed after it is not part of it)\n"
    "  --cert FILE         method 30: the end-user certificate, PEM or DER\n"
    "  --candidate I:R     identify: one candidate, its index and rate in decimal, in the\n"
    "                      BSP's order (repeat for each)\n"
    "  --count N           identify: the count given to the identify update (default: the\n"
    "                      number of --candidate options)\n"
    "Prints \"valid\" or \"invalid\". Exit status: 0 valid, 1 invalid, 2 usage or error.\n";

int Usage(const char *problem) {
  if (problem == nullptr) {
    fputs(kUsage, stderr);
  } else {
    fprintf(stderr, "ambercrypt-verify: %s (see --help)\n", problem);
  }
  return 2;
}

bool ReadWholeFile(const char *path, std::vector<uint8_t> *bytes) {
  FILE *f = fopen(path, "rb");
  if (f == nullptr) {
    fprintf(stderr, "ambercrypt-verify: cannot open %s: %s\n", path, strerror(errno));
    return false;
  }
  bytes->clear();
  uint8_t chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes->insert(bytes->end(), chunk, chunk + n);
  const bool ok = ferror(f) == 0;
  fclose(f);
  if (!ok) fprintf(stderr, "ambercrypt-verify: cannot read %s\n", path);
  return ok;
}

// A decimal number that fits [low, high], the whole text.
bool ParseNumber(const std::string &text, long long low, long long high, long long *value) {
  if (text.empty()) return false;
  char *end = nullptr;
  errno = 0;
  const long long v = strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < low || v > high) return false;
  *value = v;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  // Before the key text is read, and for the whole run.
  ambercrypt::tools::KeepSecretsOutOfCoreDumps();
  if (argc >= 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc < 2) return Usage(nullptr);
  const std::string operation = argv[1];
  if (operation != "verify" && operation != "identify") return Usage("the first argument is verify or identify");

  const char *challenge = nullptr, *recordPath = nullptr, *responsePath = nullptr, *keyPath = nullptr,
             *certPath = nullptr;
  long long method = 0, count = -1;
  std::vector<AmberVerifierCandidate> candidates;
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help") {
      fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) return Usage(("missing the value of " + option).c_str());
    const char *value = argv[++i];
    if (option == "--challenge") {
      challenge = value;
    } else if (option == "--record") {
      recordPath = value;
    } else if (option == "--response") {
      responsePath = value;
    } else if (option == "--key-file") {
      keyPath = value;
    } else if (option == "--cert") {
      certPath = value;
    } else if (option == "--method") {
      if (!ParseNumber(value, 0, 0xFFFFFFFFll, &method) || (method != 30 && method != 40)) {
        return Usage("--method is 40 or 30");
      }
    } else if (option == "--count" && operation == "identify") {
      if (!ParseNumber(value, 0, 0xFFFFFFFFll, &count)) return Usage("--count is a number from 0 to 4294967295");
    } else if (option == "--candidate" && operation == "identify") {
      const std::string text = value;
      const size_t colon = text.find(':');
      long long index = 0, rate = 0;
      if (colon == std::string::npos || !ParseNumber(text.substr(0, colon), 0, 0xFFFFFFFFll, &index) ||
          !ParseNumber(text.substr(colon + 1), INT32_MIN, INT32_MAX, &rate)) {
        return Usage("--candidate is INDEX:RATE, an unsigned and a signed 32-bit number");
      }
      candidates.push_back({static_cast<uint32_t>(index), static_cast<int32_t>(rate)});
    } else {
      return Usage(("unknown option " + option).c_str());
    }
  }
  if (challenge == nullptr || recordPath == nullptr || responsePath == nullptr || method == 0) {
    return Usage("--challenge, --record, --response and --method are required");
  }
  if ((method == 40) != (keyPath != nullptr) || (method == 30) != (certPath != nullptr)) {
    return Usage("method 40 takes --key-file, method 30 --cert");
  }
  if (count < 0) count = static_cast<long long>(candidates.size());
  if (static_cast<int32_t>(count) >= 1 ? static_cast<long long>(candidates.size()) != count : !candidates.empty()) {
    return Usage("give as many --candidate options as --count says (none when it is 0)");
  }

  std::vector<uint8_t> record, response, keyMaterial;
  if (!ReadWholeFile(recordPath, &record) || !ReadWholeFile(responsePath, &response) ||
      !ReadWholeFile(method == 40 ? keyPath : certPath, &keyMaterial)) {
    return 2;
  }
  AmberVerifierKey key;
  memset(&key, 0, sizeof key);
  key.method = static_cast<uint32_t>(method);
  if (method == 40) {
    // The key file holds the text on its first line, as ambercrypt-admin
    // reads it: a line feed (or CR LF) after it is not part of the text.
    if (!keyMaterial.empty() && keyMaterial.back() == '\n') keyMaterial.pop_back();
    if (!keyMaterial.empty() && keyMaterial.back() == '\r') keyMaterial.pop_back();
    key.keyText = reinterpret_cast<const char *>(keyMaterial.data());
    key.keyTextLength = keyMaterial.size();
  } else {
    key.certificate = keyMaterial.data();
    key.certificateLength = keyMaterial.size();
  }
  if (response.size() > 0xFFFFFFFFu) return Usage("the response is too large");

  int result;
  if (operation == "verify") {
    VerifyChallengeRecord r;
    if (record.size() != sizeof r) return Usage("a verify record file holds 568 bytes");
    memcpy(&r, record.data(), sizeof r);
    r.responseData = response.data();
    r.responseLength = static_cast<uint32_t>(response.size());
    result = AmberVerifierCheckVerify(&key, challenge, &r);
  } else {
    IdentifyChallengeRecord r;
    if (record.size() != sizeof r) return Usage("an identify record file holds 304 bytes");
    memcpy(&r, record.data(), sizeof r);
    r.candidates = nullptr;
    r.responseData = response.data();
    r.responseLength = static_cast<uint32_t>(response.size());
    result = AmberVerifierCheckIdentify(&key, challenge, &r, static_cast<uint32_t>(count), candidates.data());
  }
  // The key text leaves memory with the answer.
  volatile uint8_t *wipe = keyMaterial.data();
  for (size_t i = 0; i < keyMaterial.size(); ++i) wipe[i] = 0;

  switch (result) {
    case AMBER_VERIFIER_VALID:
      puts("valid");
      return 0;
    case AMBER_VERIFIER_INVALID:
      puts("invalid");
      return 1;
    case AMBER_VERIFIER_BAD_ARGUMENT:
      fputs("ambercrypt-verify: the key text, certificate or record cannot be used\n", stderr);
      return 2;
    default:
      fputs("ambercrypt-verify: the crypto provider failed\n", stderr);
      return 2;
  }
}
