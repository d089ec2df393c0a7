// Replays a corpus through a fuzz target built without libFuzzer: every file
// under the directories (and every file) named on the command line goes to
// LLVMFuzzerTestOneInput once, in name order. Fails when it finds no input,
// so a missing corpus never passes.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_target.h"

namespace {

void Collect(const std::string &path, std::vector<std::string> *files) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return;
  if (S_ISREG(st.st_mode)) {
    files->push_back(path);
    return;
  }
  if (!S_ISDIR(st.st_mode)) return;
  DIR *d = opendir(path.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) Collect(path + "/" + name, files);
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) Collect(argv[i], &files);
  if (files.empty()) {
    fprintf(stderr, "replay: no input found\n");
    return 1;
  }
  LLVMFuzzerInitialize(&argc, &argv);
  for (const std::string &file : files) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    std::string data = bytes.str();
    // A heap block of exactly the input's size, as libFuzzer hands it over.
    std::vector<uint8_t> copy(data.begin(), data.end());
    LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
  }
  printf("replayed %zu inputs\n", files.size());
  return 0;
}
