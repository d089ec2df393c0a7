// .reg files given to `ambercrypt-reg import`: the input is the file. The
// tool itself runs (its main, built into this target under another name)
// against the fuzz store. Import takes only what export writes, so what the
// parser read is written again, without refusal, and reads back as itself.
// The input is also a name as another account may plant it in the registry:
// as a value name, a key name and string data, export either refuses it or
// writes a file that reads back as the same keys and values. The keys an
// import made are removed after each input.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_store.h"
#include "fuzz/fuzz_target.h"
#include "platform/win32_api.h"
#include "store/settings.h"
#include "tools/reg_file.h"

int ambercrypt_reg_main(int argc, char **argv);

extern "C" void __sanitizer_set_report_fd(void *fd) __attribute__((weak));

namespace {

using ambercrypt::regfile::Section;
using ambercrypt::regfile::Value;

bool Same(const std::vector<Section> &a, const std::vector<Section> &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].key != b[i].key || a[i].remove != b[i].remove || a[i].values.size() != b[i].values.size()) return false;
    for (size_t j = 0; j < a[i].values.size(); ++j) {
      const Value &x = a[i].values[j], &y = b[i].values[j];
      if (x.name != y.name || x.remove != y.remove || (!x.remove && (x.type != y.type || x.data != y.data))) {
        return false;
      }
    }
  }
  return true;
}

int g_null = -1;
int g_stderr = -1;

// The tool reports every refused file on standard error; the fuzzer's own
// messages and the sanitizers' reports go to the real one.
void Quiet(bool on) {
  fflush(stderr);
  dup2(on ? g_null : g_stderr, 2);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  ambercrypt::fuzz::SetUpStore();
  g_null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  g_stderr = dup(2);
  if (__sanitizer_set_report_fd != nullptr) __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<intptr_t>(g_stderr)));
  // The tool's "The operation completed successfully." each time.
  dup2(g_null, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace ambercrypt;
  fuzz::SetUpStore();
  std::string bytes(reinterpret_cast<const char *>(data), size);

  std::vector<Section> sections;
  std::string error, encoded;
  if (regfile::ParseFile(bytes, &sections, &error)) {
    std::vector<Section> again;
    if (!regfile::EncodeFile(sections, &encoded, &error)) {
      fprintf(stderr, "reg file fuzzer: export refuses what import read: %s\n", error.c_str());
      abort();
    }
    if (!regfile::ParseFile(encoded, &again, &error) || !Same(sections, again)) {
      fprintf(stderr, "reg file fuzzer: an exported file does not read back as what was exported: %s\n", error.c_str());
      abort();
    }
  }
  const std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Fuzz";
  const std::vector<uint8_t> text(bytes.begin(), bytes.end());
  const std::vector<Section> planted[] = {
      {{key, false, {{"Before", 4, {1, 0, 0, 0}}, {bytes, 3, {0xee}}, {"After", 4, {2, 0, 0, 0}}}}},
      {{key + "\\" + bytes, false, {{"After", 4, {2, 0, 0, 0}}}}},
      {{key, false, {{"S", 1, text}}}},
  };
  for (const std::vector<Section> &written : planted) {
    std::vector<Section> read;
    if (regfile::EncodeFile(written, &encoded, &error) &&
        (!regfile::ParseFile(encoded, &read, &error) || !Same(written, read))) {
      fprintf(stderr, "reg file fuzzer: a name or string is written as something else: %s\n", error.c_str());
      abort();
    }
  }

  std::string file = fuzz::StoreRoot() + "/import.reg";
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size))) abort();
  close(fd);
  char tool[] = "ambercrypt-reg", command[] = "import";
  std::vector<char> path(file.begin(), file.end());
  path.push_back('\0');
  char *argv[] = {tool, command, path.data(), nullptr};
  const uint32_t before = fuzz::StoreChangeCounter();
  Quiet(true);
  ambercrypt_reg_main(3, argv);
  Quiet(false);
  unlink(file.c_str());

  // Everything an import made or changed, back as provisioned (most files
  // are refused before anything is written).
  if (fuzz::StoreChangeCounter() != before) fuzz::RestoreInstallation();
  return 0;
}
