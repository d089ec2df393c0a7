// ambercrypt-reg: the Linux registry from the command line, with the syntax and
// output of Windows' reg.exe:
//   query KEY [/v NAME | /ve | /s]
//   add KEY [/v NAME | /ve] [/t REG_DWORD|REG_BINARY|REG_SZ] [/d DATA] [/f]
//   delete KEY [/v NAME | /ve] [/f]
//   export KEY FILE [/y]
//   import FILE
// HKLM and HKEY_LOCAL_MACHINE name the root; only '\' separates key names.
// The registry lives under $AMBERCRYPT_ROOT (default /var/lib/ambercrypt).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix/registry_tool.h"
#include "platform/win32_api.h"
#include "tools/reg_file.h"
#include "tools/tool_store.h"

namespace {

using ambercrypt::posix::RegistryValue;
using ambercrypt::tools::StoreOpening;
namespace regfile = ambercrypt::regfile;

const char kRootName[] = "HKEY_LOCAL_MACHINE";
const char kSuccess[] = "The operation completed successfully.";
const char kNotFound[] = "ERROR: The system was unable to find the specified registry key or value.";

int Usage() {
  std::fprintf(stderr,
               "usage: ambercrypt-reg query KEY [/v NAME | /ve | /s]\n"
               "       ambercrypt-reg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]\n"
               "       ambercrypt-reg delete KEY [/v NAME | /ve] [/f]\n"
               "       ambercrypt-reg export KEY FILE [/y]\n"
               "       ambercrypt-reg import FILE\n"
               "KEY is HKLM\\path or HKEY_LOCAL_MACHINE\\path; TYPE is REG_DWORD, REG_BINARY or REG_SZ.\n");
  return 1;
}

int Fail(const std::string &message) {
  std::fprintf(stderr, "ERROR: %s\n", message.c_str());
  return 1;
}

std::string Upper(std::string s) {
  for (char &c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

// Takes "/v NAME" or "/ve" at options[*i]; true when it named a value.
bool TakeValueName(const std::vector<std::string> &options, size_t *i, std::string *name) {
  std::string o = Upper(options[*i]);
  if (o == "/V" && *i + 1 < options.size()) {
    *name = options[++*i];
    return true;
  }
  if (o == "/VE") {
    name->clear();
    return true;
  }
  return false;
}

// Splits "HKLM\a\b" into the path below the root; false for another root.
bool SplitKey(const std::string &key, std::string *path) {
  size_t slash = key.find('\\');
  std::string root = Upper(key.substr(0, slash));
  if (root != "HKLM" && root != kRootName) return false;
  *path = slash == std::string::npos ? "" : key.substr(slash + 1);
  while (!path->empty() && path->back() == '\\') path->pop_back();
  return true;
}

std::string FullName(const std::string &path) { return path.empty() ? kRootName : std::string(kRootName) + "\\" + path; }

const char *TypeName(DWORD type) {
  switch (type) {
    case REG_SZ: return "REG_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_NONE: return "REG_NONE";
    case 2: return "REG_EXPAND_SZ";
    case 7: return "REG_MULTI_SZ";
    case 11: return "REG_QWORD";
    default: return "REG_UNKNOWN";
  }
}

// Names and strings of world-writable keys are anyone's: a line break or a
// terminal escape in them must not forge lines of the listing or reach the
// administrator's terminal, so everything listed is printed escaped.
std::string Listed(const std::string &text) { return regfile::Escaped(text, regfile::EscapedLength::kWhole); }

std::string DataText(const RegistryValue &v) {
  char buffer[16];
  if (v.type == REG_DWORD && v.data.size() == 4) {
    uint32_t n = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
    std::snprintf(buffer, sizeof buffer, "0x%x", n);
    return buffer;
  }
  if (v.type == REG_SZ || v.type == 2) {
    std::string text(v.data.begin(), v.data.end());
    return Listed(text.substr(0, text.find('\0')));
  }
  std::string out;
  for (uint8_t b : v.data) {
    std::snprintf(buffer, sizeof buffer, "%02X", b);
    out += buffer;
  }
  return out;
}

void PrintValue(const RegistryValue &v) {
  const std::string name = v.name.empty() ? "(Default)" : Listed(v.name);
  std::printf("    %s    %s    %s\n", name.c_str(), TypeName(v.type), DataText(v).c_str());
}

class Key {
 public:
  ~Key() {
    if (handle_ != nullptr && handle_ != HKEY_LOCAL_MACHINE) RegCloseKey(handle_);
  }
  LSTATUS Open(const std::string &path, REGSAM access) {
    if (path.empty()) {
      handle_ = HKEY_LOCAL_MACHINE;
      return ERROR_SUCCESS;
    }
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &handle_);
  }
  LSTATUS Create(const std::string &path) {
    if (path.empty()) return Open(path, KEY_ALL_ACCESS);
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                           nullptr, &handle_, nullptr);
  }
  HKEY get() const { return handle_; }

 private:
  HKEY handle_ = nullptr;
};

// refusal: why opening the store refused it or a part of it, if it did.
std::string ErrorText(LSTATUS status, const std::string &refusal) {
  switch (status) {
    case ERROR_FILE_NOT_FOUND: return "The system was unable to find the specified registry key or value.";
    case ERROR_ACCESS_DENIED: {
      // Say why when the store itself was refused, not only the operation.
      return refusal.empty() ? "Access is denied." : "Access is denied. The state root was refused: " + refusal;
    }
    default: return "registry error " + std::to_string(status);
  }
}

LSTATUS QueryTree(const std::string &path, bool recurse) {
  Key key;
  LSTATUS status = key.Open(path, KEY_READ);
  if (status != ERROR_SUCCESS) return status;
  std::vector<RegistryValue> values;
  std::vector<std::string> subkeys;
  if ((status = ambercrypt::posix::RegEnumValues(key.get(), &values)) != ERROR_SUCCESS) return status;
  if ((status = ambercrypt::posix::RegEnumSubkeys(key.get(), &subkeys)) != ERROR_SUCCESS) return status;
  std::printf("%s\n", Listed(FullName(path)).c_str());
  for (const RegistryValue &v : values) PrintValue(v);
  std::printf("\n");
  for (const std::string &sub : subkeys) {
    std::string child = path.empty() ? sub : path + "\\" + sub;
    if (recurse) {
      if ((status = QueryTree(child, true)) != ERROR_SUCCESS) return status;
    } else {
      std::printf("%s\n", Listed(FullName(child)).c_str());
    }
  }
  return ERROR_SUCCESS;
}

int Query(const StoreOpening &store, const std::string &path, const std::vector<std::string> &options) {
  bool recurse = false, single = false;
  std::string name;
  for (size_t i = 0; i < options.size(); ++i) {
    if (Upper(options[i]) == "/S") {
      recurse = true;
    } else if (TakeValueName(options, &i, &name)) {
      single = true;
    } else {
      return Usage();
    }
  }
  std::printf("\n");
  if (!single) {
    LSTATUS status = QueryTree(path, recurse);
    if (status != ERROR_SUCCESS) return Fail(ErrorText(status, store.refusal));
    return 0;
  }
  Key key;
  if (key.Open(path, KEY_READ) != ERROR_SUCCESS) return std::puts(kNotFound), 1;
  std::vector<RegistryValue> values;
  ambercrypt::posix::RegEnumValues(key.get(), &values);
  for (const RegistryValue &v : values) {
    if (Upper(v.name) == Upper(name)) {
      std::printf("%s\n", Listed(FullName(path)).c_str());
      PrintValue(v);
      std::printf("\n");
      return 0;
    }
  }
  std::puts(kNotFound);
  return 1;
}

bool ParseData(DWORD type, const std::string &text, std::vector<uint8_t> *data) {
  data->clear();
  if (type == REG_DWORD) {
    if (text.empty()) {
      data->assign(4, 0);
      return true;
    }
    char *end = nullptr;
    unsigned long long n = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || n > 0xFFFFFFFFull) return false;
    for (int i = 0; i < 4; ++i) data->push_back(static_cast<uint8_t>(n >> (8 * i)));
    return true;
  }
  if (type == REG_BINARY) {
    if (text.size() % 2 != 0 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    for (size_t i = 0; i < text.size(); i += 2) data->push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return true;
  }
  data->assign(text.begin(), text.end());
  data->push_back(0);
  return true;
}

bool Confirm(const std::string &question) {
  std::printf("%s (Yes/No)? ", question.c_str());
  std::fflush(stdout);
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  answer = Upper(answer);
  return answer == "Y" || answer == "YES";
}

int Add(const StoreOpening &store, const std::string &path, const std::vector<std::string> &options) {
  bool hasValue = false, force = false;
  std::string name, typeName = "REG_SZ", dataText;
  for (size_t i = 0; i < options.size(); ++i) {
    std::string o = Upper(options[i]);
    if (TakeValueName(options, &i, &name)) {
      hasValue = true;
    } else if (o == "/T" && i + 1 < options.size()) {
      typeName = Upper(options[++i]);
    } else if (o == "/D" && i + 1 < options.size()) {
      dataText = options[++i];
      hasValue = true;
    } else if (o == "/F") {
      force = true;
    } else {
      return Usage();
    }
  }
  DWORD type = typeName == "REG_DWORD" ? REG_DWORD : typeName == "REG_BINARY" ? REG_BINARY
               : typeName == "REG_SZ"  ? REG_SZ
                                       : REG_NONE;
  if (type == REG_NONE) return Fail("Invalid type: " + typeName);
  std::vector<uint8_t> data;
  if (!ParseData(type, dataText, &data)) return Fail("Invalid data for " + typeName + ": " + dataText);
  Key key;
  LSTATUS status = key.Create(path);
  if (status != ERROR_SUCCESS) return Fail(ErrorText(status, store.refusal));
  if (hasValue) {
    DWORD size = 0;
    if (!force && RegQueryValueExA(key.get(), name.c_str(), nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS &&
        !Confirm("Value " + (name.empty() ? std::string("(Default)") : name) + " exists, overwrite")) {
      std::puts("The operation was canceled by the user.");
      return 0;
    }
    status = RegSetValueExA(key.get(), name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
    if (status != ERROR_SUCCESS) return Fail(ErrorText(status, store.refusal));
  }
  std::puts(kSuccess);
  return 0;
}

int Delete(const StoreOpening &store, const std::string &path, const std::vector<std::string> &options) {
  bool hasValue = false, force = false;
  std::string name;
  for (size_t i = 0; i < options.size(); ++i) {
    if (TakeValueName(options, &i, &name)) {
      hasValue = true;
    } else if (Upper(options[i]) == "/F") {
      force = true;
    } else {
      return Usage();
    }
  }
  if (!force && !Confirm(hasValue ? "Delete the registry value " + name : "Permanently delete the registry key " +
                                                                             FullName(path))) {
    std::puts("The operation was canceled by the user.");
    return 0;
  }
  LSTATUS status;
  if (hasValue) {
    Key key;
    status = key.Open(path, KEY_ALL_ACCESS);
    if (status == ERROR_SUCCESS) status = ambercrypt::posix::RegDeleteValueA(key.get(), name.c_str());
  } else {
    if (path.empty()) return Fail("Invalid key name.");
    status = ambercrypt::posix::RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
  }
  if (status == ERROR_FILE_NOT_FOUND) return std::puts(kNotFound), 1;
  if (status != ERROR_SUCCESS) return Fail(ErrorText(status, store.refusal));
  std::puts(kSuccess);
  return 0;
}

LSTATUS Collect(const std::string &path, std::vector<regfile::Section> *sections) {
  Key key;
  LSTATUS status = key.Open(path, KEY_READ);
  if (status != ERROR_SUCCESS) return status;
  regfile::Section section;
  section.key = FullName(path);
  std::vector<RegistryValue> values;
  std::vector<std::string> subkeys;
  if ((status = ambercrypt::posix::RegEnumValues(key.get(), &values)) != ERROR_SUCCESS) return status;
  if ((status = ambercrypt::posix::RegEnumSubkeys(key.get(), &subkeys)) != ERROR_SUCCESS) return status;
  for (const RegistryValue &v : values) section.values.push_back({v.name, v.type, v.data});
  sections->push_back(section);
  for (const std::string &sub : subkeys) {
    status = Collect(path.empty() ? sub : path + "\\" + sub, sections);
    if (status != ERROR_SUCCESS) return status;
  }
  return ERROR_SUCCESS;
}

// Writes bytes to a new file beside path (created with O_EXCL, so never
// through a planted link, mode 0600: an export holds the installation's
// settings) and renames it over path: path then holds the whole export, or,
// on any failure, what it held before.
bool WriteReplacing(const std::string &path, const std::string &bytes, std::string *why) {
  std::vector<char> temp(path.begin(), path.end());
  const char suffix[] = ".XXXXXX";
  temp.insert(temp.end(), suffix, suffix + sizeof suffix);
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    *why = std::strerror(errno);
    return false;
  }
  int error = 0;
  for (size_t done = 0; done < bytes.size() && error == 0;) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      error = errno;
    }
  }
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temp.data(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temp.data());
    *why = std::strerror(error);
    return false;
  }
  return true;
}

int Export(const StoreOpening &store, const std::string &path, const std::string &file, bool overwrite) {
  std::vector<regfile::Section> sections;
  LSTATUS status = Collect(path, &sections);
  if (status != ERROR_SUCCESS) return Fail(ErrorText(status, store.refusal));
  // The whole file is made before anything is written: a name that cannot
  // be written (another account may add values to some keys) leaves the
  // file as it was.
  std::string bytes, error;
  if (!regfile::EncodeFile(sections, &bytes, &error)) {
    return Fail(error + "\nNothing was exported; the tree exports once that name is gone.");
  }
  struct stat st;
  if (lstat(file.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) return Fail(file + " exists and is not a regular file (a link?); nothing was exported.");
    if (!overwrite && !Confirm("File " + file + " already exists. Overwrite it")) {
      std::puts("The operation was canceled by the user.");
      return 0;
    }
  }
  std::string why;
  if (!WriteReplacing(file, bytes, &why)) return Fail("cannot write " + file + ": " + why);
  std::puts(kSuccess);
  return 0;
}

int Import(const StoreOpening &store, const std::string &file) {
  std::ifstream in(file, std::ios::binary);
  if (!in.good()) return Fail("cannot open " + file);
  std::stringstream bytes;
  bytes << in.rdbuf();
  std::vector<regfile::Section> sections;
  std::string error;
  if (!regfile::ParseFile(bytes.str(), &sections, &error)) {
    return Fail(file + ", " + error + "\nNothing was imported.");
  }
  // Every key is checked before the first is written.
  std::vector<std::string> paths;
  for (const regfile::Section &s : sections) {
    paths.emplace_back();
    if (!SplitKey(s.key, &paths.back())) {
      return Fail("only HKEY_LOCAL_MACHINE is kept here: " + regfile::Escaped(s.key) + "\nNothing was imported.");
    }
  }
  for (size_t i = 0; i < sections.size(); ++i) {
    const regfile::Section &s = sections[i];
    const std::string &path = paths[i];
    if (s.remove) {
      LSTATUS status = ambercrypt::posix::RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
      if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return Fail(ErrorText(status, store.refusal));
      continue;
    }
    Key key;
    LSTATUS status = key.Create(path);
    if (status != ERROR_SUCCESS) return Fail(ErrorText(status, store.refusal) + " (" + s.key + ")");
    for (const regfile::Value &v : s.values) {
      status = v.remove ? ambercrypt::posix::RegDeleteValueA(key.get(), v.name.c_str())
                        : RegSetValueExA(key.get(), v.name.c_str(), 0, v.type, v.data.data(),
                                         static_cast<DWORD>(v.data.size()));
      if (status != ERROR_SUCCESS && !(v.remove && status == ERROR_FILE_NOT_FOUND)) {
        return Fail(ErrorText(status, store.refusal) + " (" + s.key + ", " + v.name + ")");
      }
    }
  }
  std::puts(kSuccess);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return Usage();
  std::string command = Upper(argv[1]);
  std::vector<std::string> args(argv + 2, argv + argc);
  const bool reads = command == "QUERY" || command == "EXPORT" || command == "DELETE";
  if (!reads && command != "ADD" && command != "IMPORT") return Usage();
  if (command == "IMPORT" && args.size() != 1) return Usage();
  std::string path;
  if (command != "IMPORT" && !SplitKey(args[0], &path)) return Fail("Invalid key name.");
  // The store is opened before any registry call, and says then why it
  // refuses the store, if it does. Reading (or deleting) needs a store that
  // is there: a mistyped AMBERCRYPT_ROOT is said to be one, not made into a
  // new, empty store.
  const StoreOpening store = ambercrypt::tools::OpenStore(!reads);
  if (store.missing) return Fail("there is no store at " + store.location);
  if (command == "IMPORT") return Import(store, args[0]);
  std::vector<std::string> options(args.begin() + 1, args.end());
  if (command == "QUERY") return Query(store, path, options);
  if (command == "ADD") return Add(store, path, options);
  if (command == "DELETE") return Delete(store, path, options);
  if (command == "EXPORT") {
    if (options.empty()) return Usage();
    bool overwrite = options.size() > 1 && Upper(options[1]) == "/Y";
    return Export(store, path, options[0], overwrite);
  }
  return Usage();
}
