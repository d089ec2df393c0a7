// console.h: how ambercrypt-admin takes passwords and key texts. Never
// from the command line: from a file named by an option (its first line), else
// a prompt without echo when standard input is a terminal, else the next line
// of standard input (so a script can pipe several secrets, one a line, in the
// order the command asks for them). Read a byte at a time, so no stdio buffer
// keeps a copy; the text lands in a wiped buffer. The terminal is the
// platform layer's (tool_platform.h).
#ifndef AMBERCRYPT_TOOLS_ADMIN_CONSOLE_H_
#define AMBERCRYPT_TOOLS_ADMIN_CONSOLE_H_

#include <string>

#include "crypto/secure_buffer.h"

namespace ambercrypt::admin {

// The longest secret line taken; the library's own limit is 255 characters.
inline constexpr unsigned kMaxSecretLine = 1023;

// Reads one secret into *text (NUL-terminated; text->data() is the C string).
// False, with *error set, when there is none (an empty file, end of input) or
// the line is longer than kMaxSecretLine.
bool ReadSecret(const char *prompt, const std::string &file, CSecureBuffer *text, std::string *error);

}  // namespace ambercrypt::admin

#endif  // AMBERCRYPT_TOOLS_ADMIN_CONSOLE_H_
