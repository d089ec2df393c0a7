// A host program for the frame tests: attaches the library state as a loaded
// library would, for this process's own executable, and writes the AppKey it
// derived (or "none") to the file named by its argument. frame_test runs a
// copy of it from a path longer than 260 characters.
#include <cstdio>

#include "frame/entry.h"

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  ambercrypt::ProcessAttach(nullptr);
  const ambercrypt::FpiContext *fpi = ambercrypt::AttachedFpiContext();
  const char *appKey = fpi != nullptr ? fpi->appKey() : nullptr;
  FILE *out = std::fopen(argv[1], "wb");
  if (out == nullptr) return 3;
  std::fputs(appKey != nullptr ? appKey : "none", out);
  std::fclose(out);
  ambercrypt::ProcessDetach();
  return 0;
}
