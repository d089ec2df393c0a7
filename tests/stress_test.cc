// Many processes of two applications at once, lockout on, while an
// administrator process rewrites both applications' policies. Each host
// process runs verify cycles (function check; verify check, update and
// challenge; identify check, update and challenge) and records every answer;
// the parent then checks that
//   - every answer is one the call may give, and no process crashed;
//   - the lockout counts are exact: every update reports a failure with the
//     same BIR, so every check counts one and, the record's lock serialising
//     the checks, the number of checks that locked and the final record
//     follow from the number of checks alone (support/lockout_model.h);
//   - the hosts kept the policy they loaded at attach (no check lowered the
//     rate, though the administrator lowered the ceiling in the store);
//   - every challenge answer verifies with one of the key texts the
//     administrator alternates between, for the host's own last outcome;
//   - the store is intact (PRAGMA integrity_check, Linux).
// The children are this program run again (the same on both targets);
// AMBERCRYPT_STRESS_PROCESSES and AMBERCRYPT_STRESS_CYCLES size the run
// (scripts/stress.sh runs 8 x 10000).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ambercrypt/ambercrypt.h"
#include "ambercrypt/verifier.h"
#include "frame/entry.h"
#include "store/setting_store.h"
#include "support/lockout_model.h"
#include "support/test_support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sqlite3.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

namespace ambercrypt {
namespace {

using test::BirOf;
using test::Bytes;

constexpr uint32_t F = AMBER_ERROR_FLAG;
const char kPassword[] = "Admin123";
const char kChallenge[] = "Nonce4711";
// The administrator alternates between two key texts of different lengths:
// a challenge that read the length of one and the text of the other must
// fail, never answer.
const char *const kKeyTexts[] = {"KeyText1", "AnotherKeyText22"};
const char *const kApplications[] = {"StressA", "StressB"};
constexpr int32_t kVerifyMaxFailures = 5;
constexpr int32_t kIdentifyMaxFailures = 3;
constexpr int32_t kRequestedFmr = 10;

int EnvNumber(const char *name, int fallback) {
  const char *text = getenv(name);
  int n = text != nullptr ? atoi(text) : 0;
  return n > 0 ? n : fallback;
}

void SetEnv(const char *name, const std::string &value) {
#if defined(_WIN32)
  SetEnvironmentVariableA(name, value.c_str());
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

std::string HostPath(int application) { return std::string("C:\\Apps\\") + kApplications[application] + ".EXE"; }

ResponseMethodRecord Hmac(const char *keyText) { return test::ResponseMethod(AMBER_RESPONSE_HMAC, keyText); }

// Each application's person, the same BIR in every cycle of every process.
Bytes Person(int application) {
  std::string text = std::string("the one person of ") + kApplications[application];
  return Bytes(text.begin(), text.end());
}

bool ValidUnderAKeyText(const VerifyChallengeRecord *verify, const IdentifyChallengeRecord *identify) {
  for (const char *keyText : kKeyTexts) {
    AmberVerifierKey key{AMBER_RESPONSE_HMAC, keyText, strlen(keyText), nullptr, 0};
    int valid = verify != nullptr ? AmberVerifierCheckVerify(&key, kChallenge, verify)
                                  : AmberVerifierCheckIdentify(&key, kChallenge, identify, 0, nullptr);
    if (valid == AMBER_VERIFIER_VALID) return true;
  }
  return false;
}

bool Exists(const std::string &path) {
  FILE *f = fopen(path.c_str(), "rb");
  if (f != nullptr) fclose(f);
  return f != nullptr;
}

// What a host process saw; written to its result file as name=value lines.
struct Tally {
  std::map<std::string, long long> counts;
  std::vector<std::string> errors;
  void Error(const std::string &what) {
    if (errors.size() < 10) errors.push_back(what);
    ++counts["errors"];
  }
};

// ---- The children ------------------------------------------------------------

void RunHost(int application, int cycles, const std::string &readyFile, Tally *tally) {
  test::AttachAs(HostPath(application).c_str());
  { std::ofstream ready(readyFile); }  // its policy is cached: the administrator may begin
  Bytes person = Person(application);
  BioAPI_BIR bir = BirOf(person);
  uint8_t response[20];
  for (int i = 0; i < cycles; ++i) {
    const std::string at = "cycle " + std::to_string(i) + ": ";
    uint32_t code = KoBioFPI_CheckMode(0x1);
    if (code != 0) tally->Error(at + "CheckMode " + std::to_string(code));

    int32_t allowed = 0;
    uint8_t flag = 0;
    code = KoBioFPI_VerifySecurityStatas(&bir, kRequestedFmr, &allowed, &flag);
    if (code == 0 && allowed == kRequestedFmr && flag == 1) {
      ++tally->counts["verify_passed"];
    } else if (code == (AMBER_E_LOCKED_NOW | F)) {
      ++tally->counts["verify_locks"];
    } else {
      tally->Error(at + "VerifySecurityStatas " + std::to_string(code));
    }
    code = KoBioFPI_UpdateVerifyStatus(0, &bir, i, 50);
    if (code != 0) tally->Error(at + "UpdateVerifyStatus " + std::to_string(code));
    VerifyChallengeRecord verify;
    memset(&verify, 0, sizeof verify);
    verify.responseData = response;
    verify.responseLength = sizeof response;
    code = KoBioSPI_VerifyChallenge(kChallenge, &verify);
    if (code == 0) {
      // This process's own last outcome, answered with a key text that was whole.
      if (verify.result != 0 || verify.achievedFmr != i || verify.level != 50 || !ValidUnderAKeyText(&verify, nullptr)) {
        tally->Error(at + "VerifyChallenge answered what was not asked");
      }
      ++tally->counts["verify_answered"];
    } else if (code == (AMBER_E_RESPONSE_FAILED | F)) {
      ++tally->counts["verify_refused"];  // the key text was being rewritten
    } else {
      tally->Error(at + "VerifyChallenge " + std::to_string(code));
    }

    code = KoBioFPI_IdentifySecurityStatas(nullptr, kRequestedFmr, &allowed, &flag);
    if (code == 0 && allowed == kRequestedFmr && flag == 1) {
      ++tally->counts["identify_passed"];
    } else if (code == (AMBER_E_LOCKED_NOW | F)) {
      ++tally->counts["identify_locks"];
    } else {
      tally->Error(at + "IdentifySecurityStatas " + std::to_string(code));
    }
    uint32_t none = 0;
    BioAPI_CANDIDATE *candidates = nullptr;
    code = KoBioFPI_UpdateIdentifyStatus(&none, &candidates, 60);
    if (code != 0) tally->Error(at + "UpdateIdentifyStatus " + std::to_string(code));
    IdentifyChallengeRecord identify;
    memset(&identify, 0, sizeof identify);
    identify.responseData = response;
    identify.responseLength = sizeof response;
    code = KoBioSPI_IdentifyChallenge(kChallenge, &identify);
    if (code == 0) {
      if (identify.count != 0 || identify.level != 60 || !ValidUnderAKeyText(nullptr, &identify)) {
        tally->Error(at + "IdentifyChallenge answered what was not asked");
      }
      ++tally->counts["identify_answered"];
    } else if (code == (AMBER_E_RESPONSE_FAILED | F)) {
      ++tally->counts["identify_refused"];
    } else {
      tally->Error(at + "IdentifyChallenge " + std::to_string(code));
    }
  }
}


// Once every host has attached, rewrites both policies of both applications
// until told to stop: the key
// text alternates, and so do a ceiling below what the hosts request, the
// flag and the failure limit, none of which the running hosts may pick up.
// The lock minutes stay 0, the mode 4.
void RunAdministrator(const std::string &dir, int hosts, Tally *tally) {
  test::AttachAs("C:\\Apps\\StressAdmin.EXE");
  const std::string stopFile = dir + "/stop";
  for (int n = 0; n < hosts && !Exists(stopFile);) {
    if (Exists(dir + "/ready" + std::to_string(n))) {
      ++n;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  for (long long round = 0; !Exists(stopFile); ++round) {
    const int k = static_cast<int>(round % 2);
    for (int a = 0; a < 2; ++a) {
      const char *app = kApplications[a];
      uint32_t codes[3] = {
          KoBioSPI_RestrictBSPFunction(app, 4, 0, kPassword),
          KoBioSPI_InitVerifyParameter(app, k == 0 ? 1000 : 5, kVerifyMaxFailures + 3 * k, 0, k == 0 ? 1 : 0,
                                       Hmac(kKeyTexts[k]), kPassword),
          KoBioSPI_InitIdentifyParameter(app, k == 0 ? 1000 : 5, kIdentifyMaxFailures + 2 * k, 0, k == 0 ? 1 : 0,
                                         Hmac(kKeyTexts[k]), kPassword)};
      for (uint32_t code : codes) {
        if (code != 0) tally->Error("administration round " + std::to_string(round) + ": " + std::to_string(code));
      }
      tally->counts["administrations"] += 3;
    }
    // A policy change every few milliseconds: a store written without a
    // pause would measure only how long its readers wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void WriteTally(const std::string &path, const Tally &tally) {
  std::ofstream out(path);
  for (const auto &entry : tally.counts) out << entry.first << '=' << entry.second << '\n';
  for (const std::string &error : tally.errors) out << "error " << error << '\n';
}

Tally ReadTally(const std::string &path) {
  Tally tally;
  std::ifstream in(path);
  std::string line;
  bool any = false;
  while (std::getline(in, line)) {
    any = true;
    if (line.compare(0, 6, "error ") == 0) {
      tally.errors.push_back(line.substr(6));
      continue;
    }
    size_t eq = line.find('=');
    if (eq != std::string::npos) tally.counts[line.substr(0, eq)] = atoll(line.c_str() + eq + 1);
  }
  if (!any) tally.errors.push_back("no results in " + path);
  return tally;
}

// The child's side: AMBERCRYPT_STRESS_ROLE is "host N APPLICATION CYCLES" or
// "admin HOSTS"; AMBERCRYPT_STRESS_DIR holds the result files.
TEST(StressChild, Run) {
  const char *role = getenv("AMBERCRYPT_STRESS_ROLE");
  const char *dir = getenv("AMBERCRYPT_STRESS_DIR");
  if (role == nullptr || dir == nullptr) GTEST_SKIP() << "run by StressTest as a child process";
  Tally tally;
  std::istringstream words(role);
  std::string kind;
  words >> kind;
  std::string result;
  if (kind == "host") {
    int n = 0, application = 0, cycles = 0;
    words >> n >> application >> cycles;
    RunHost(application, cycles, std::string(dir) + "/ready" + std::to_string(n), &tally);
    result = std::string(dir) + "/host" + std::to_string(n) + ".txt";
  } else {
    int hosts = 0;
    words >> hosts;
    RunAdministrator(dir, hosts, &tally);
    result = std::string(dir) + "/admin.txt";
  }
  test::Detach();
  WriteTally(result, tally);
  EXPECT_TRUE(tally.errors.empty());
}

// ---- The parent --------------------------------------------------------------

#if defined(_WIN32)
using Child = HANDLE;
Child Spawn(const std::string &log) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE output = CreateFileA(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  std::string command = std::string("\"") + self + "\" --gtest_filter=StressChild.Run";
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = startup.hStdError = output;
  PROCESS_INFORMATION info;
  BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  if (!started) return nullptr;
  CloseHandle(info.hThread);
  return info.hProcess;
}
int Wait(Child child) {
  if (child == nullptr) return -1;
  WaitForSingleObject(child, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(child, &code);
  CloseHandle(child);
  return static_cast<int>(code);
}
#else
using Child = pid_t;
// The child's output goes to log (its answers come back in its result file).
Child Spawn(const std::string &log) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return -1;
  self[n] = '\0';
  char filter[] = "--gtest_filter=StressChild.Run";
  char *argv[] = {self, filter, nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, self, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}
int Wait(Child child) {
  if (child < 0) return -1;
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string IntegrityOf(const std::string &file) {
  sqlite3 *db = nullptr;
  std::string answer = "cannot open";
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt *stmt = nullptr;
    answer = "cannot run";
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK) {
      answer.clear();
      while (sqlite3_step(stmt) == SQLITE_ROW) answer += reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return answer;
}
#endif

class StressTest : public test::StoreTest {};

TEST_F(StressTest, ProcessesOfTwoApplicationsWithAnAdministrator) {
  const int processes = EnvNumber("AMBERCRYPT_STRESS_PROCESSES", 8);
#if defined(_WIN32)
  const int cycles = EnvNumber("AMBERCRYPT_STRESS_CYCLES", 30);  // Wine's registry answers slowly
#else
  const int cycles = EnvNumber("AMBERCRYPT_STRESS_CYCLES", 150);
#endif
  test::ProvisionInstallation(kPassword, 4321);
  test::AttachAs("C:\\Apps\\StressAdmin.EXE");
  for (const char *app : kApplications) {
    ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction(app, 4, 0, kPassword));
    ASSERT_EQ(0u, KoBioSPI_InitVerifyParameter(app, 1000, kVerifyMaxFailures, 0, 1, Hmac(kKeyTexts[0]), kPassword));
    ASSERT_EQ(0u,
              KoBioSPI_InitIdentifyParameter(app, 1000, kIdentifyMaxFailures, 0, 1, Hmac(kKeyTexts[0]), kPassword));
  }
  // A failure on record for each application and family: from here on every
  // check counts one.
  for (int a = 0; a < 2; ++a) {
    test::AttachAs(HostPath(a).c_str());
    Bytes person = Person(a);
    BioAPI_BIR bir = BirOf(person);
    ASSERT_EQ(0u, KoBioFPI_UpdateVerifyStatus(0, &bir, 0, 50));
    uint32_t none = 0;
    BioAPI_CANDIDATE *candidates = nullptr;
    ASSERT_EQ(0u, KoBioFPI_UpdateIdentifyStatus(&none, &candidates, 60));
  }
  test::Detach();

  const std::string dir = test::TempDirectory();
  SetEnv("AMBERCRYPT_STRESS_DIR", dir);
  SetEnv("AMBERCRYPT_STRESS_ROLE", "admin " + std::to_string(processes));
  const auto start = std::chrono::steady_clock::now();
  Child administrator = Spawn(dir + "/admin.log");
  std::vector<Child> hosts;
  for (int n = 0; n < processes; ++n) {
    SetEnv("AMBERCRYPT_STRESS_ROLE", "host " + std::to_string(n) + " " + std::to_string(n % 2) + " " + std::to_string(cycles));
    hosts.push_back(Spawn(dir + "/host" + std::to_string(n) + ".log"));
  }
  std::vector<int> hostCodes;
  for (Child child : hosts) hostCodes.push_back(Wait(child));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  { std::ofstream stop(dir + "/stop"); }
  const int adminCode = Wait(administrator);
  SetEnv("AMBERCRYPT_STRESS_ROLE", "");

  for (int n = 0; n < processes; ++n) EXPECT_EQ(0, hostCodes[n]) << "host process " << n;
  EXPECT_EQ(0, adminCode) << "administrator process";
  Tally admin = ReadTally(dir + "/admin.txt");
  for (const std::string &error : admin.errors) ADD_FAILURE() << "administrator: " << error;
  EXPECT_GT(admin.counts["administrations"], 0);

  long long answered = 0, refused = 0;
  for (int a = 0; a < 2; ++a) {
    SCOPED_TRACE(kApplications[a]);
    std::map<std::string, long long> sum;
    long long appProcesses = 0;
    for (int n = a; n < processes; n += 2) {
      Tally host = ReadTally(dir + "/host" + std::to_string(n) + ".txt");
      for (const std::string &error : host.errors) ADD_FAILURE() << "host process " << n << ": " << error;
      for (const auto &entry : host.counts) sum[entry.first] += entry.second;
      ++appProcesses;
    }
    const long long checks = appProcesses * cycles;
    const test::LockoutAfterChecks verify = test::ExpectedLockout(checks, kVerifyMaxFailures);
    const test::LockoutAfterChecks identify = test::ExpectedLockout(checks, kIdentifyMaxFailures);
    EXPECT_EQ(verify.locks, sum["verify_locks"]);
    EXPECT_EQ(checks - verify.locks, sum["verify_passed"]);
    EXPECT_EQ(identify.locks, sum["identify_locks"]);
    EXPECT_EQ(checks - identify.locks, sum["identify_passed"]);
    EXPECT_EQ(checks, sum["verify_answered"] + sum["verify_refused"]);
    EXPECT_EQ(checks, sum["identify_answered"] + sum["identify_refused"]);
    answered += sum["verify_answered"] + sum["identify_answered"];
    refused += sum["verify_refused"] + sum["identify_refused"];

    test::AttachAs(HostPath(a).c_str());
    const test::LockoutRecord verifyRecord = test::ReadLockout(kVerifyPolicy);
    EXPECT_EQ(0u, verifyRecord.status);
    EXPECT_EQ(verify.count, verifyRecord.failureCount);
    EXPECT_EQ(verify.locked, verifyRecord.releaseTime != 0);
    const test::LockoutRecord identifyRecord = test::ReadLockout(kIdentifyPolicy);
    EXPECT_EQ(0u, identifyRecord.status);
    EXPECT_EQ(identify.count, identifyRecord.failureCount);
    EXPECT_EQ(identify.locked, identifyRecord.releaseTime != 0);
  }
  test::Detach();
  // Most challenges meet a whole key text.
  EXPECT_GT(answered, refused);
#if !defined(_WIN32)
  EXPECT_EQ("ok", IntegrityOf(root() + "/registry.db"));
  EXPECT_EQ("ok", IntegrityOf(root() + "/shared/open_keys.db"));
#endif
  test::RemoveTree(dir);
  std::printf("%d processes x %d cycles on 2 applications, %lld administration calls: %.1f s"
              " (%lld challenges answered, %lld refused while a key text was rewritten)\n",
              processes, cycles, admin.counts["administrations"], seconds, answered, refused);
}

}  // namespace
}  // namespace ambercrypt
