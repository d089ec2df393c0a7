// registry.cc: HKEY_LOCAL_MACHINE on SQLite, with the Windows registry's
// contract for what ambercrypt relies on.
//
// Keys and values live in registry.db under the state root (tables keys and
// vals), except the values of keys given a null DACL, which live in
// shared/open_keys.db: that file is writable by every account, registry.db only
// by the accounts that may write the store. So an ordinary process can read
// every setting and write lockout state, and the operating system, not this
// code, stops it from changing a setting. Names compare without regard to
// case, in Unicode as Windows compares them, and keep the case they were
// created with. Every call is one
// transaction (writes take the write lock up front); synchronous=FULL makes
// each acknowledged write survive a crash or a power cut. A connection is
// never carried across fork(): a child opens its own.
#include <sqlite3.h>

#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/handles.h"
#include "platform/posix/registry_db.h"
#include "platform/posix/registry_tool.h"
#include "platform/win32_api.h"

namespace ambercrypt::posix {
namespace {

constexpr int64_t kRootId = 1;
constexpr size_t kMaxKeyNameLength = 255;
constexpr DWORD kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

struct RegKey {
  int64_t id = 0;
  REGSAM access = 0;
  bool nullDacl = false;  // the key had a null DACL when opened
  // registry.db's connection and change counter when the key was found: while
  // both stand, the key exists and keeps its DACL.
  uint64_t connection = 0;
  std::optional<uint32_t> counter;
  HandleRegistration registration{this, HandleKind::kRegistryKey};
};

RegKey *AsRegKey(HKEY h) { return FindHandle<RegKey>(h, HandleKind::kRegistryKey); }

std::vector<std::string> SplitPath(const char *path) {
  std::vector<std::string> parts;
  if (path == nullptr) return parts;
  std::string current;
  for (const char *p = path;; ++p) {
    if (*p == '\\' || *p == '\0') {
      if (!current.empty()) parts.push_back(current);
      current.clear();
      if (*p == '\0') break;
    } else {
      current.push_back(*p);
    }
  }
  return parts;
}

// Resolves a handle to a key id and the access it was opened with (and
// whether the key had a null DACL then).
LSTATUS Resolve(HKEY hKey, int64_t *id, REGSAM *access, bool *nullDacl = nullptr, const RegKey **found = nullptr) {
  if (nullDacl != nullptr) *nullDacl = false;
  if (found != nullptr) *found = nullptr;
  if (hKey == HKEY_LOCAL_MACHINE) {
    *id = kRootId;
    *access = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
  }
  RegKey *key = AsRegKey(hKey);
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  *id = key->id;
  *access = key->access;
  if (nullDacl != nullptr) *nullDacl = key->nullDacl;
  if (found != nullptr) *found = key;
  return ERROR_SUCCESS;
}

bool WantsWrite(REGSAM sam) { return (sam & kWriteRights) != 0; }

// Walks (and with create, makes) the path below base. *created tells whether
// the last component was made.
LSTATUS Walk(Tx &tx, int64_t base, const char *subKey, bool create, int64_t *id, bool *created) {
  *created = false;
  // A path is relative to its key: Windows refuses one that begins at a root.
  if (subKey != nullptr && subKey[0] == '\\') return ERROR_BAD_PATHNAME;
  int64_t current = base;
  for (const std::string &part : SplitPath(subKey)) {
    if (NameLength(part) > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
    int64_t next = 0;
    LSTATUS s = tx.Child(current, part, &next);
    if (s == ERROR_FILE_NOT_FOUND && create) {
      if (!tx.writer()) return ERROR_ACCESS_DENIED;
      s = tx.CreateChild(current, part, &next);
      *created = true;
    } else {
      *created = false;
    }
    if (s != ERROR_SUCCESS) return s;
    current = next;
  }
  *id = current;
  return ERROR_SUCCESS;
}

LSTATUS NewHandle(int64_t id, REGSAM access, bool nullDacl, std::optional<uint32_t> counter, PHKEY out) {
  auto *key = new (std::nothrow) RegKey;
  if (key == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  key->id = id;
  key->access = access;
  key->nullDacl = nullDacl;
  key->connection = Registry::Instance().connection();
  key->counter = counter;
  *out = reinterpret_cast<HKEY>(key);
  return ERROR_SUCCESS;
}

// Opens (with create, makes) subKey below hKey for samDesired. Write access
// is granted to the store's writers, and to everyone on a null-DACL key.
LSTATUS OpenKey(HKEY hKey, LPCSTR subKey, bool create, REGSAM samDesired, PHKEY result, bool *created) {
  int64_t base;
  REGSAM baseAccess;
  LSTATUS status = Resolve(hKey, &base, &baseAccess);
  if (status != ERROR_SUCCESS) return status;
  auto grant = [&](int64_t id, bool nullDacl, bool writer, bool shared, std::optional<uint32_t> counter) -> LSTATUS {
    if (WantsWrite(samDesired) && !writer && !(nullDacl && shared)) return ERROR_ACCESS_DENIED;
    return NewHandle(id, samDesired, nullDacl, counter, result);
  };
  // A key found before, while registry.db is unchanged, is there still.
  const std::string path = KeyPathId(base, subKey);
  *created = false;
  bool found = Registry::Instance().Peek([&](const KeptAnswers &kept, bool writer, bool shared) {
    auto it = kept.keys.find(path);
    if (it == kept.keys.end()) return false;
    status = grant(it->second.id, it->second.nullDacl, writer, shared, kept.counter);
    return true;
  });
  if (found) return status;
  auto openIn = [&](bool mayCreate) {
    return [&, mayCreate](Tx &tx) -> LSTATUS {
      bool nullDacl = false;
      LSTATUS s = tx.KeyHasNullDacl(base, &nullDacl);
      if (s != ERROR_SUCCESS) return s;
      int64_t id = 0;
      s = Walk(tx, base, subKey, mayCreate, &id, created);
      if (s != ERROR_SUCCESS) return s;
      s = tx.KeyHasNullDacl(id, &nullDacl);
      if (s != ERROR_SUCCESS) return s;
      if (KeptAnswers *kept = tx.Keep()) kept->keys[path] = KeptKey{id, nullDacl};
      return grant(id, nullDacl, tx.writer(), tx.shared(), tx.StableCounter());
    };
  };
  // A key that exists is found by a transaction that only reads: one that
  // may create would take the store's write locks (and, at its commit, lock
  // registry.db against every reader) only to find it there. A lockout check
  // opens its record this way after every administration call.
  if (create) {
    status = Registry::Instance().Run(false, openIn(false));
    if (status != ERROR_FILE_NOT_FOUND) return status;
  }
  return Registry::Instance().Run(create, openIn(create));
}

bool IsString(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// A value as RegQueryValueEx hands it out. A string stored without its
// terminating NUL (by a program or an older store) gets one in a spare byte
// of the caller's buffer, not counted, as Windows gives it.
LSTATUS CopyValueOut(DWORD type, const WipedBytes &data, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpType != nullptr) *lpType = type;
  DWORD size = static_cast<DWORD>(data.size());
  if (lpcbData == nullptr) return ERROR_SUCCESS;
  if (lpData == nullptr) {
    *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < size) {
    *lpcbData = size;  // nothing is copied: never past the caller's buffer
    return ERROR_MORE_DATA;
  }
  if (size != 0) memcpy(lpData, data.data(), size);
  if (IsString(type) && size != 0 && data.back() != 0 && *lpcbData > size) lpData[size] = 0;
  *lpcbData = size;
  return ERROR_SUCCESS;
}

// What a query of a missing value leaves: type 0, and a size of 0 when it
// asked only for the size.
LSTATUS NoValue(LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpType != nullptr) *lpType = 0;
  if (lpData == nullptr && lpcbData != nullptr) *lpcbData = 0;
  return ERROR_FILE_NOT_FOUND;
}

// May this process (a writer of the store, with the shared database or not)
// write the values of this key through a handle with access?
LSTATUS CheckValueWrite(bool nullDacl, REGSAM access, bool writer, bool shared) {
  if ((access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (nullDacl ? !shared : !writer) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

// Runs body(tx, id, nullDacl) in one transaction on the key behind hKey,
// after resolving the handle and finding the key (nullDacl: it has one). With
// write, the handle and the process must also be allowed to change values.
// (checkWrite asks the same of a transaction that only reads.)
// A read through a handle to a key that had a null DACL, while registry.db is
// unchanged since the key was found, touches only the shared database: the
// lockout record's reads, on every check, then cost no lock on registry.db.
// A write through such a handle, while registry.db stays so, is a write
// transaction on the shared database alone: registry.db's readers (every
// setting a host reads) never wait for its commit. Should registry.db have
// changed by the time that transaction holds the shared database's write
// lock, the write takes the full road, which looks the key up again.
template <typename Body>
LSTATUS OnKey(HKEY hKey, bool write, Body body, bool checkWrite = false) {
  int64_t id = 0;
  REGSAM access;
  bool openedNullDacl = false;
  const RegKey *handle = nullptr;
  LSTATUS status = Resolve(hKey, &id, &access, &openedNullDacl, &handle);
  if (status != ERROR_SUCCESS) return status;
  const bool keptNullDacl = openedNullDacl && handle != nullptr && handle->counter.has_value();
  if (write && keptNullDacl) {
    bool moved = false;
    status = Registry::Instance().Run(Registry::Writes::kSharedValues, [&](Tx &tx) -> LSTATUS {
      if (!tx.shared() || !tx.MainUnchangedSince(handle->connection, *handle->counter)) {
        moved = true;
        return ERROR_KEY_DELETED;  // rolled back; the full road follows
      }
      LSTATUS s = CheckValueWrite(true, access, tx.writer(), tx.shared());
      if (s != ERROR_SUCCESS) return s;
      return body(tx, id, true);
    });
    if (!moved) return status;
  }
  const bool stillNullDacl =
      !write && keptNullDacl && Registry::Instance().Unchanged(handle->connection, *handle->counter);
  return Registry::Instance().Run(write, [&](Tx &tx) -> LSTATUS {
    bool nullDacl = stillNullDacl && tx.shared();
    LSTATUS s = ERROR_SUCCESS;
    if (!nullDacl) s = tx.KeyHasNullDacl(id, &nullDacl);
    if (s != ERROR_SUCCESS) return s;
    if (write || checkWrite) {
      s = CheckValueWrite(nullDacl, access, tx.writer(), tx.shared());
      if (s != ERROR_SUCCESS) return s;
    }
    return body(tx, id, nullDacl);
  });
}

// Calls use(value) with the value stored for name under the key behind hKey
// (found or not), and returns what use returns: the answer kept from
// registry.db while it is unchanged (a setting read before holds the same),
// else read in a transaction that only reads, and kept when registry.db's.
// With checkWrite it first asks whether the handle and the process may
// change the value, as a write would, without taking the write lock.
template <typename Use>
LSTATUS ReadValue(HKEY hKey, const std::string &name, bool checkWrite, Use use) {
  int64_t key = 0;
  REGSAM access;
  bool nullDacl = false;
  LSTATUS status = Resolve(hKey, &key, &access, &nullDacl);
  if (status != ERROR_SUCCESS) return status;
  // Values of a key that had a null DACL are never kept.
  if (!nullDacl) {
    const std::string valueId = ValueId(key, name);
    if (Registry::Instance().Peek([&](const KeptAnswers &kept, bool writer, bool shared) {
          auto it = kept.values.find(valueId);
          if (it == kept.values.end()) return false;
          status = checkWrite ? CheckValueWrite(false, access, writer, shared) : ERROR_SUCCESS;
          if (status == ERROR_SUCCESS) status = use(it->second);
          return true;
        })) {
      return status;
    }
  }
  return OnKey(
      hKey, false,
      [&](Tx &tx, int64_t id, bool nullDacl) -> LSTATUS {
        // Without the shared database a null-DACL key's values cannot be
        // read: never a value absent, which a lockout record reads as no lock.
        if (nullDacl && !tx.shared()) return ERROR_ACCESS_DENIED;
        std::string sql =
            std::string("SELECT type, data FROM ") + tx.ValueTable(nullDacl) + " WHERE key = ? AND fold = ?";
        Statement q(tx.db(), sql.c_str());
        if (!q.ok()) return RegistryError(q.prepare_error());
        int rc = q.Bind(1, id).Bind(2, Fold(name)).Step();
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) return RegistryError(rc);
        KeptValue value;
        value.found = rc == SQLITE_ROW;
        if (value.found) {
          value.type = static_cast<DWORD>(q.Int(0));
          size_t n = 0;
          const uint8_t *bytes = q.BlobBytes(1, &n);
          value.data.assign(bytes, bytes + n);
        }
        if (KeptAnswers *kept = nullDacl ? nullptr : tx.Keep()) kept->values[ValueId(id, name)] = value;
        return use(value);
      },
      checkWrite);
}

LSTATUS DeleteKeyRow(Tx &tx, int64_t id) {
  Statement children(tx.db(), "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
  if (!children.ok()) return RegistryError(children.prepare_error());
  int rc = children.Bind(1, id).Step();
  if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;  // Windows refuses a key with subkeys
  if (rc != SQLITE_DONE) return RegistryError(rc);
  const char *deletes[] = {"DELETE FROM main.vals WHERE key = ?", "DELETE FROM shared.vals WHERE key = ?",
                           "DELETE FROM keys WHERE id = ?"};
  for (const char *sql : deletes) {
    if (!tx.shared() && strstr(sql, "shared") != nullptr) continue;
    Statement s(tx.db(), sql);
    if (!s.ok()) return RegistryError(s.prepare_error());
    rc = s.Bind(1, id).Step();
    if (rc != SQLITE_DONE) return RegistryError(rc);
  }
  return ERROR_SUCCESS;
}

LSTATUS DeleteTreeRows(Tx &tx, int64_t id) {
  std::vector<int64_t> children;
  {
    Statement s(tx.db(), "SELECT id FROM keys WHERE parent = ?");
    if (!s.ok()) return RegistryError(s.prepare_error());
    s.Bind(1, id);
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) children.push_back(s.Int(0));
    if (rc != SQLITE_DONE) return RegistryError(rc);
  }
  for (int64_t child : children) {
    LSTATUS status = DeleteTreeRows(tx, child);
    if (status != ERROR_SUCCESS) return status;
  }
  return DeleteKeyRow(tx, id);
}

}  // namespace

// ---- Extras for the registry tool -----------------------------------------

LSTATUS RegEnumSubkeys(HKEY hKey, std::vector<std::string> *names) {
  if (names == nullptr) return ERROR_INVALID_PARAMETER;
  return OnKey(hKey, false, [&](Tx &tx, int64_t id, bool) -> LSTATUS {
    Statement q(tx.db(), "SELECT name FROM keys WHERE parent = ? ORDER BY fold");
    if (!q.ok()) return RegistryError(q.prepare_error());
    q.Bind(1, id);
    int rc;
    names->clear();
    while ((rc = q.Step()) == SQLITE_ROW) names->push_back(q.Text(0));
    return rc == SQLITE_DONE ? ERROR_SUCCESS : RegistryError(rc);
  });
}

LSTATUS RegEnumValues(HKEY hKey, std::vector<RegistryValue> *values) {
  if (values == nullptr) return ERROR_INVALID_PARAMETER;
  return OnKey(hKey, false, [&](Tx &tx, int64_t id, bool nullDacl) -> LSTATUS {
    values->clear();
    // Without the shared database (refused, or it cannot be opened) the
    // values of a null-DACL key cannot be read: not an empty key.
    if (nullDacl && !tx.shared()) return ERROR_ACCESS_DENIED;
    std::string sql =
        std::string("SELECT name, type, data FROM ") + tx.ValueTable(nullDacl) + " WHERE key = ? ORDER BY rowid";
    Statement q(tx.db(), sql.c_str());
    if (!q.ok()) return RegistryError(q.prepare_error());
    q.Bind(1, id);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) {
      values->push_back({q.Text(0), static_cast<DWORD>(q.Int(1)), q.Blob(2)});
    }
    return rc == SQLITE_DONE ? ERROR_SUCCESS : RegistryError(rc);
  });
}

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  std::string name = lpValueName ? lpValueName : "";
  return OnKey(hKey, true, [&](Tx &tx, int64_t id, bool nullDacl) -> LSTATUS {
    std::string sql = std::string("DELETE FROM ") + tx.ValueTable(nullDacl) + " WHERE key = ? AND fold = ?";
    Statement q(tx.db(), sql.c_str());
    if (!q.ok()) return RegistryError(q.prepare_error());
    int rc = q.Bind(1, id).Bind(2, Fold(name)).Step();
    if (rc != SQLITE_DONE) return RegistryError(rc);
    return sqlite3_changes(tx.db()) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
  });
}

LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
  int64_t base;
  REGSAM access;
  LSTATUS status = Resolve(hKey, &base, &access);
  if (status != ERROR_SUCCESS) return status;
  return Registry::Instance().Run(true, [&](Tx &tx) -> LSTATUS {
    if (!tx.writer()) return ERROR_ACCESS_DENIED;
    int64_t id = 0;
    bool created = false;
    LSTATUS s = Walk(tx, base, lpSubKey, false, &id, &created);
    if (s != ERROR_SUCCESS) return s;
    if (id == kRootId) return ERROR_ACCESS_DENIED;
    return DeleteTreeRows(tx, id);
  });
}

}  // namespace ambercrypt::posix

using namespace ambercrypt::posix;

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  (void)ulOptions;
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;  // what a failed open leaves
  bool created = false;
  return OpenKey(hKey, lpSubKey, false, samDesired, phkResult, &created);
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
  (void)Reserved;
  (void)lpClass;
  (void)lpSecurityAttributes;
  if (phkResult == nullptr || lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  if (dwOptions != REG_OPTION_NON_VOLATILE) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  bool created = false;
  LSTATUS status = OpenKey(hKey, lpSubKey, true, samDesired, phkResult, &created);
  if (status == ERROR_SUCCESS && lpdwDisposition != nullptr) {
    *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  }
  return status;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
  (void)lpReserved;
  if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
  std::string name = lpValueName ? lpValueName : "";
  return ReadValue(hKey, name, false, [&](const KeptValue &value) {
    return value.found ? CopyValueOut(value.type, value.data, lpType, lpData, lpcbData)
                       : NoValue(lpType, lpData, lpcbData);
  });
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                              DWORD cbData) {
  (void)Reserved;
  if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
  std::string name = lpValueName ? lpValueName : "";
  // Windows keeps a string's terminating NUL, adding one the caller left out
  // of the length. (It adds it only when the byte after the data is a NUL,
  // reading past the caller's length; here it is added without looking.)
  WipedBytes terminated;
  if (IsString(dwType) && cbData != 0 && cbData < kMaxValueBytes && lpData[cbData - 1] != 0) {
    try {
      terminated.reserve(cbData + 1);
    } catch (const std::bad_alloc &) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    terminated.assign(lpData, lpData + cbData);
    terminated.push_back(0);
    lpData = terminated.data();
    cbData += 1;
  }
  // Writing the bytes a value already holds changes nothing (a lockout check
  // on its common path rewrites what is there). That is the one place it is
  // asked, before the write lock: answered from what is kept or in a
  // transaction that only reads, such a write takes no write lock and costs
  // no durable write. (Should another process write the same bytes between
  // that transaction and the write's, they are written again, unchanged.)
  bool same = false;
  LSTATUS status = ReadValue(hKey, name, true, [&](const KeptValue &stored) {
    same = stored.Holds(dwType, lpData, cbData);
    return ERROR_SUCCESS;
  });
  if (status != ERROR_SUCCESS || same) return status;
  return OnKey(hKey, true, [&](Tx &tx, int64_t id, bool nullDacl) -> LSTATUS {
    // An update keeps the value's place, as Windows keeps its order.
    std::string sql = std::string("INSERT INTO ") + tx.ValueTable(nullDacl) +
                      "(key, name, fold, type, data) VALUES(?, ?, ?, ?, ?)"
                      " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data";
    Statement q(tx.db(), sql.c_str());
    if (!q.ok()) return RegistryError(q.prepare_error());
    int rc = q.Bind(1, id)
                 .Bind(2, name)
                 .Bind(3, Fold(name))
                 .Bind(4, static_cast<int64_t>(dwType))
                 .BindBlob(5, lpData, cbData)
                 .Step();
    return rc == SQLITE_DONE ? ERROR_SUCCESS : RegistryError(rc);
  });
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  int64_t base;
  REGSAM access;
  LSTATUS status = Resolve(hKey, &base, &access);
  if (status != ERROR_SUCCESS) return status;
  return Registry::Instance().Run(true, [&](Tx &tx) -> LSTATUS {
    int64_t id = 0;
    bool created = false;
    LSTATUS s = Walk(tx, base, lpSubKey, false, &id, &created);
    if (s != ERROR_SUCCESS) return s;
    if (id == kRootId || !tx.writer()) return ERROR_ACCESS_DENIED;
    return DeleteKeyRow(tx, id);
  });
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  RegKey *key = AsRegKey(hKey);
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  delete key;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                                 PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  if (pSecurityDescriptor == nullptr) return ERROR_INVALID_PARAMETER;
  int64_t id = 0;
  REGSAM access;
  LSTATUS status = Resolve(hKey, &id, &access);
  if (status != ERROR_SUCCESS) return status;
  if ((SecurityInformation & DACL_SECURITY_INFORMATION) == 0) return ERROR_SUCCESS;
  if ((access & WRITE_DAC) == 0) return ERROR_ACCESS_DENIED;
  const auto *sd = static_cast<const SECURITY_DESCRIPTOR *>(pSecurityDescriptor);
  bool nullDacl = (sd->Control & SE_DACL_PRESENT) != 0 && sd->Dacl == nullptr;
  return Registry::Instance().Run(true, [&](Tx &tx) -> LSTATUS {
    if (!tx.writer()) return ERROR_ACCESS_DENIED;
    bool hadNullDacl = false;
    LSTATUS s = tx.KeyHasNullDacl(id, &hadNullDacl);
    if (s != ERROR_SUCCESS) return s;
    if (hadNullDacl == nullDacl) return ERROR_SUCCESS;
    if (!tx.shared()) return ERROR_ACCESS_DENIED;
    // The values follow the key into the database its new rights allow.
    std::string from = tx.ValueTable(hadNullDacl), to = tx.ValueTable(nullDacl);
    std::string copy = "INSERT INTO " + to + "(key, name, fold, type, data) SELECT key, name, fold, type, data FROM " +
                       from +
                       " WHERE key = ?1 ORDER BY rowid"
                       " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data";
    std::string remove = "DELETE FROM " + from + " WHERE key = ?1";
    const std::string flag = "UPDATE keys SET open_dacl = ?2 WHERE id = ?1";
    for (const std::string *sql : std::initializer_list<const std::string *>{&copy, &remove, &flag}) {
      Statement q(tx.db(), sql->c_str());
      if (!q.ok()) return RegistryError(q.prepare_error());
      q.Bind(1, id);
      if (sql == &flag) q.Bind(2, nullDacl ? 1 : 0);
      int rc = q.Step();
      if (rc != SQLITE_DONE) return RegistryError(rc);
    }
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
  if (pSecurityDescriptor == nullptr || dwRevision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  memset(pSecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
  static_cast<SECURITY_DESCRIPTOR *>(pSecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                      BOOL bDaclDefaulted) {
  if (pSecurityDescriptor == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto *sd = static_cast<SECURITY_DESCRIPTOR *>(pSecurityDescriptor);
  sd->Control = static_cast<SECURITY_DESCRIPTOR_CONTROL>(sd->Control & ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
  if (bDaclPresent) {
    sd->Control |= SE_DACL_PRESENT;
    if (bDaclDefaulted) sd->Control |= SE_DACL_DEFAULTED;
    sd->Dacl = pDacl;
  } else {
    sd->Dacl = nullptr;
  }
  return TRUE;
}

}  // extern "C"
