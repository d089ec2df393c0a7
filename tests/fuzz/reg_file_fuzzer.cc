// .reg files given to `ambercrypt-reg import`: the input is the file. The
// tool itself runs (its main, built into this target under another name)
// against the fuzz store, and the parser's answer must survive the trip
// back: what it read, written out as the tool exports and read again, is
// what it read. The keys an import made are removed after each input.
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

// Names that a .reg file can carry at all: printable ASCII.
bool Portable(const std::vector<Section> &sections) {
  auto printable = [](const std::string &s) {
    for (char c : s) {
      if (c < 0x20 || c > 0x7e) return false;
    }
    return true;
  };
  for (const Section &s : sections) {
    if (!printable(s.key)) return false;
    for (const Value &v : s.values) {
      if (!printable(v.name)) return false;
    }
  }
  return true;
}

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
  std::string error;
  if (regfile::ParseFile(bytes, &sections, &error) && Portable(sections)) {
    std::vector<Section> again;
    if (!regfile::ParseFile(regfile::EncodeFile(sections), &again, &error) || !Same(sections, again)) {
      fprintf(stderr, "reg file fuzzer: an exported file does not read back as what was exported\n");
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
