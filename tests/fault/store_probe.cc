#include "fault/store_probe.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>

#include "fault/fault_vfs.h"

namespace ambercrypt::test {
namespace {

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// A connection of our own to the store's databases (the VFS underneath any
// fault injection, so our reads never meet a fault).
sqlite3 *OpenStore(const std::string &root, bool *shared, std::string *error) {
  sqlite3 *db = nullptr;
  std::string main = root + "/registry.db";
  if (!Exists(main)) {
    *error = "no " + main;
    return nullptr;
  }
  if (sqlite3_open_v2(main.c_str(), &db, SQLITE_OPEN_READWRITE, UnderlyingVfsName()) != SQLITE_OK) {
    *error = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 15000);
  std::string sharedPath = root + "/shared/open_keys.db";
  *shared = false;
  if (Exists(sharedPath)) {
    std::string sql = "ATTACH DATABASE '" + sharedPath + "' AS shared";
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
      *error = sqlite3_errmsg(db);
      sqlite3_close_v2(db);
      return nullptr;
    }
    *shared = true;
  }
  return db;
}

}  // namespace

bool SnapshotStore(const std::string &root, StoreSnapshot *snapshot, std::string *error) {
  snapshot->clear();
  bool shared = false;
  sqlite3 *db = OpenStore(root, &shared, error);
  if (db == nullptr) return false;
  struct Key {
    int64_t parent;
    std::string name;
    bool open;
  };
  std::map<int64_t, Key> keys;
  bool ok = true;
  auto query = [&](const std::string &sql, const std::function<void(sqlite3_stmt *)> &row) {
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
      *error = sqlite3_errmsg(db);
      ok = false;
      return;
    }
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) row(s);
    if (rc != SQLITE_DONE) {
      *error = sqlite3_errmsg(db);
      ok = false;
    }
    sqlite3_finalize(s);
  };
  auto text = [](sqlite3_stmt *s, int col) {
    const unsigned char *t = sqlite3_column_text(s, col);
    return t ? std::string(reinterpret_cast<const char *>(t)) : std::string();
  };
  query("BEGIN", [](sqlite3_stmt *) {});
  query("SELECT id, parent, name, open_dacl FROM keys", [&](sqlite3_stmt *s) {
    keys[sqlite3_column_int64(s, 0)] = Key{sqlite3_column_int64(s, 1), text(s, 2), sqlite3_column_int(s, 3) != 0};
  });
  std::function<std::string(int64_t)> path = [&](int64_t id) -> std::string {
    auto it = keys.find(id);
    if (it == keys.end()) return "<missing key " + std::to_string(id) + ">";
    if (it->second.parent == 0) return "";
    std::string above = path(it->second.parent);
    return above.empty() ? it->second.name : above + "\\" + it->second.name;
  };
  for (const auto &k : keys) {
    if (k.second.parent == 0) continue;
    (*snapshot)[StoreEntry{path(k.first), "", true}] = {static_cast<uint8_t>(k.second.open ? 1 : 0)};
  }
  for (const char *table : {"main.vals", "shared.vals"}) {
    if (!shared && std::string(table) == "shared.vals") continue;
    query(std::string("SELECT key, name, type, data FROM ") + table, [&](sqlite3_stmt *s) {
      std::vector<uint8_t> bytes{static_cast<uint8_t>(sqlite3_column_int(s, 2))};
      const uint8_t *data = static_cast<const uint8_t *>(sqlite3_column_blob(s, 3));
      bytes.insert(bytes.end(), data, data + sqlite3_column_bytes(s, 3));
      (*snapshot)[StoreEntry{path(sqlite3_column_int64(s, 0)), text(s, 1), false}] = bytes;
    });
  }
  query("COMMIT", [](sqlite3_stmt *) {});
  sqlite3_close_v2(db);
  return ok;
}

std::string IntegrityCheck(const std::string &root) {
  bool shared = false;
  std::string error;
  sqlite3 *db = OpenStore(root, &shared, &error);
  if (db == nullptr) return error;
  std::string result;
  for (const char *schema : {"main", "shared"}) {
    if (!shared && std::string(schema) == "shared") continue;
    std::string sql = std::string("PRAGMA ") + schema + ".integrity_check";
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
      result += std::string(schema) + ": " + sqlite3_errmsg(db) + "; ";
      continue;
    }
    std::string answer;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      const unsigned char *t = sqlite3_column_text(s, 0);
      answer += t ? reinterpret_cast<const char *>(t) : "";
    }
    if (rc != SQLITE_DONE) answer += std::string(" (") + sqlite3_errmsg(db) + ")";
    sqlite3_finalize(s);
    if (answer != "ok") result += std::string(schema) + ": " + answer + "; ";
  }
  sqlite3_close_v2(db);
  return result.empty() ? "ok" : result;
}

void CopyStore(const std::string &from, const std::string &to) {
  std::string command = "cp -a '" + from + "/.' '" + to + "/'";
  if (system(command.c_str()) != 0) abort();
}

std::string Describe(const StoreEntry &entry) {
  return entry.key ? "key " + entry.path : entry.path + " : " + entry.name;
}

std::vector<std::string> Differences(const StoreSnapshot &a, const StoreSnapshot &b) {
  std::vector<std::string> out;
  for (const auto &e : a) {
    auto it = b.find(e.first);
    if (it == b.end()) {
      out.push_back(Describe(e.first) + " (only before)");
    } else if (it->second != e.second) {
      out.push_back(Describe(e.first));
    }
  }
  for (const auto &e : b) {
    if (a.find(e.first) == a.end()) out.push_back(Describe(e.first) + " (only after)");
  }
  return out;
}

}  // namespace ambercrypt::test
