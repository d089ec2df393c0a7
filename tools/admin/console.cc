// console.cc: secrets from a file, a silent prompt or standard input (see
// console.h).
#include "tools/admin/console.h"

#include <cstdio>

#include "tools/tool_platform.h"

namespace ambercrypt::admin {

namespace {

// One line from in, without its line end. False at end of input before any
// byte, or when the line does not fit.
bool ReadLine(tools::SecretBytes &in, CSecureBuffer *text, std::string *error) {
  *text = CSecureBuffer(kMaxSecretLine + 1);
  char *out = reinterpret_cast<char *>(text->data());
  unsigned length = 0;
  bool any = false;
  char c = 0;
  while (in.Next(&c) == 1) {
    any = true;
    if (c == '\n') break;
    if (length == kMaxSecretLine) {
      *error = "the line is longer than " + std::to_string(kMaxSecretLine) + " characters";
      text->Clear();
      return false;
    }
    out[length++] = c;
  }
  c = 0;
  if (length > 0 && out[length - 1] == '\r') out[--length] = '\0';
  if (!any) {
    *error = "nothing to read";
    return false;
  }
  return true;
}

}  // namespace

bool ReadSecret(const char *prompt, const std::string &file, CSecureBuffer *text, std::string *error) {
  tools::SecretBytes in;
  if (!file.empty()) {
    if (!in.Open(file)) {
      *error = file + ": cannot be opened";
      return false;
    }
    bool ok = ReadLine(in, text, error);
    if (!ok) *error = file + ": " + *error;
    return ok;
  }
  if (tools::InteractiveInput()) {
    // Silent before the prompt shows: nothing typed after it is echoed.
    tools::SilentInput silent;
    std::fprintf(stderr, "%s: ", prompt);
    std::fflush(stderr);
    return ReadLine(in, text, error);
  }
  if (!ReadLine(in, text, error)) {
    *error = std::string(prompt) + ": standard input: " + *error;
    return false;
  }
  return true;
}

}  // namespace ambercrypt::admin
