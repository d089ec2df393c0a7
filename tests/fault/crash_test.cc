// The crash loop: a child process counts failed verifications and
// identifications with lockout on and makes administration writes, in a
// loop, acknowledging each write that answered success in an append-only
// file it syncs after the call returned; the test kills it with SIGKILL at a
// random moment, then opens the store again: SQLite's integrity check
// passes, no acknowledged write is lost, no failure count went back, and no
// count stands at the limit without a lock. AMBERCRYPT_CRASH_KILLS sets the
// number of kills (scripts/crash.sh N runs it long).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "ambercrypt/ambercrypt.h"
#include "fault/store_probe.h"
#include "frame/entry.h"
#include "store/identity.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"
#include "support/test_support.h"

namespace ambercrypt {
namespace {

constexpr uint32_t F = AMBER_ERROR_FLAG;
const char kPassword[] = "Admin123";
const char kHost[] = "C:\\Apps\\Scanner.EXE";
constexpr DWORD kNumber = 4321;
constexpr int32_t kVerifyLimit = 1000000000;  // verify counts without ever locking
constexpr int32_t kIdentifyLimit = 3;         // identify locks (for 0 minutes) at 3

// One acknowledgement: what was written, and its value.
struct Ack {
  char kind;  // 'V' verify failure count, 'K' Kiosk's verify maxFmr, 'G' Gate's custom mask, 'E' an error
  uint32_t value;
};

ResponseMethodRecord Signature() { return test::ResponseMethod(AMBER_RESPONSE_SIGNATURE); }

// A stored encrypted number, read through the library's registry layer.
bool ReadNumber(const std::string &path, const Setting &setting, int32_t *value) {
  CSecureBuffer material = BuildKeyMaterial(static_cast<int32_t>(kNumber));
  CRegCtrl reg;
  if (!reg.Open(path.c_str(), 0, KEY_READ)) return false;
  return reg.QueryEncryptedInt(setting.name, value, material.data(), material.size()) == ERROR_SUCCESS;
}

std::string ScannerUserInfo() {
  char appKey[30];
  HashNameToBase64("Scanner", appKey);
  return UserInfoKeyPath(appKey);
}

// The child: writes until it is killed. Exits 2 when a call answers what it
// must not.
[[noreturn]] void Writer(int ackFd, int readyFd, unsigned seed) {
  test::AttachAs(kHost);
  std::mt19937 random(seed);
  auto ack = [&](char kind, uint32_t value) {
    Ack a{kind, value};
    if (write(ackFd, &a, sizeof a) != sizeof a || fdatasync(ackFd) != 0) _exit(3);
  };
  auto fail = [&](uint32_t code) {
    ack('E', code);
    _exit(2);
  };
  int32_t count = 0, fmr = 0, mask = 0;
  if (!ReadNumber(ScannerUserInfo(), settings::kVerifyFailureCount, &count)) count = 0;
  if (!ReadNumber(test::ApplicationPath("Kiosk"), settings::kVerifyMaxFmr, &fmr)) fmr = 0;
  if (!ReadNumber(test::ApplicationPath("Gate"), settings::kCustomMask, &mask)) mask = 0;
  BioAPI_BIR bir;
  memset(&bir, 0, sizeof bir);
  uint8_t data[] = "the same person's biometric data";
  bir.BiometricData = {sizeof data, data};
  BioAPI_CANDIDATE *candidates = nullptr;
  // Started: the kill comes while it writes, however long a start takes.
  if (write(readyFd, "R", 1) != 1) _exit(3);
  for (;;) {
    int32_t allowed = 0;
    uint8_t flag = 0;
    uint32_t code;
    switch (random() % 4) {
      case 0:
        if ((code = KoBioFPI_UpdateVerifyStatus(0, &bir, 5, 40)) != 0) fail(code);
        if ((code = KoBioFPI_VerifySecurityStatas(&bir, 10, &allowed, &flag)) != 0) fail(code);
        ack('V', static_cast<uint32_t>(++count));
        break;
      case 1: {
        uint32_t found = 0;
        if ((code = KoBioFPI_UpdateIdentifyStatus(&found, &candidates, 50)) != 0) fail(code);
        code = KoBioFPI_IdentifySecurityStatas(nullptr, 10, &allowed, &flag);
        if (code != 0 && code != (AMBER_E_LOCKED_NOW | F)) fail(code);
        break;
      }
      case 2:
        if ((code = KoBioSPI_InitVerifyParameter("Kiosk", ++fmr, 0, 1, 1, Signature(), kPassword)) != 0) fail(code);
        ack('K', static_cast<uint32_t>(fmr));
        break;
      default:
        if ((code = KoBioSPI_RestrictBSPFunction("Gate", 5, static_cast<uint32_t>(++mask), kPassword)) != 0) {
          fail(code);
        }
        ack('G', static_cast<uint32_t>(mask));
        break;
    }
  }
}

class CrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A killed process loses nothing the kernel holds, so the store may live
    // in memory (where there is some): the loop then runs at the speed of
    // the library, not of the disk's syncs.
    char pattern[] = "/dev/shm/ambercrypt-crash-XXXXXX";
    char fallback[] = "/tmp/ambercrypt-crash-XXXXXX";
    const char *made = access("/dev/shm", W_OK) == 0 ? mkdtemp(pattern) : nullptr;
    if (made == nullptr) made = mkdtemp(fallback);
    ASSERT_NE(nullptr, made);
    root_ = made;
    setenv("AMBERCRYPT_ROOT", root_.c_str(), 1);
    test::ResetStore();
    test::ProvisionInstallation(kPassword, kNumber);
    test::AttachAs("C:\\Apps\\Admin.EXE");
    for (const char *app : {"Scanner", "Kiosk", "Gate"}) {
      ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction(app, 4, 0, kPassword));
    }
    ASSERT_EQ(0u, KoBioSPI_InitVerifyParameter("Scanner", 100, kVerifyLimit, 5, 1, Signature(), kPassword));
    ASSERT_EQ(0u, KoBioSPI_InitIdentifyParameter("Scanner", 100, kIdentifyLimit, 0, 1, Signature(), kPassword));
    test::Detach();
  }
  void TearDown() override { test::RemoveTree(root_); }
  std::string root_;
};

TEST_F(CrashTest, KilledWritersLoseNothingAcknowledged) {
  long kills = 2000;
  if (const char *n = getenv("AMBERCRYPT_CRASH_KILLS")) kills = strtol(n, nullptr, 10);
  std::string ackPath = root_ + "/acks";
  int ackFd = open(ackPath.c_str(), O_CREAT | O_RDWR | O_APPEND | O_CLOEXEC, 0600);
  ASSERT_GE(ackFd, 0);
  std::mt19937 random(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  const std::string userInfo = ScannerUserInfo(), kiosk = test::ApplicationPath("Kiosk"),
                    gate = test::ApplicationPath("Gate");
  uint32_t acked[3] = {0, 0, 0};  // V, K, G
  int32_t seen[3] = {0, 0, 0};    // what the store held after the last kill
  off_t read_ = 0;
  long survived = 0, acknowledged = 0;
  for (long i = 0; i < kills; ++i) {
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(ready[0]);
      Writer(ackFd, ready[1], static_cast<unsigned>(random()));
    }
    close(ready[1]);
    // A random moment of its writing, whatever its speed: after 0 to 3
    // acknowledgements (sometimes during its start), then up to 2 ms more.
    char started;
    if (random() % 16 != 0 && read(ready[0], &started, 1) == 1) {
      const off_t until = read_ + static_cast<off_t>((random() % 4) * sizeof(Ack));
      struct stat st;
      for (int polls = 0; polls < 20000 && fstat(ackFd, &st) == 0 && st.st_size < until; ++polls) usleep(100);
    }
    close(ready[0]);
    usleep(static_cast<useconds_t>(random() % 2000));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    Ack a;
    while (pread(ackFd, &a, sizeof a, read_) == sizeof a) {
      read_ += sizeof a;
      ++acknowledged;
      ASSERT_NE('E', a.kind) << "kill " << i << ": the writer was answered " << a.value;
      uint32_t &last = acked[a.kind == 'V' ? 0 : a.kind == 'K' ? 1 : 2];
      ASSERT_GT(a.value, last) << "kill " << i << ": acknowledgement " << a.kind << " out of sequence";
      last = a.value;
    }
    ASSERT_TRUE(WIFSIGNALED(status)) << "kill " << i << ": the writer ended by itself (" << status << ")";
    ASSERT_EQ("ok", test::IntegrityCheck(root_)) << "after kill " << i;
    int32_t count = 0, fmr = 0, mask = 0, identifyCount = 0;
    if (acked[0] > 0) {
      ASSERT_TRUE(ReadNumber(userInfo, settings::kVerifyFailureCount, &count)) << "after kill " << i;
    }
    // Writes that answered success but were killed before their
    // acknowledgement may stand beyond it; nothing goes below it, or below
    // what the store held after the last kill.
    EXPECT_GE(static_cast<uint32_t>(count), acked[0]) << "after kill " << i << ": an acknowledged failure was lost";
    EXPECT_GE(count, seen[0]) << "after kill " << i << ": the failure count went back";
    if (acked[1] > 0) {
      ASSERT_TRUE(ReadNumber(kiosk, settings::kVerifyMaxFmr, &fmr)) << "after kill " << i;
    }
    EXPECT_GE(static_cast<uint32_t>(fmr), acked[1]) << "after kill " << i << ": an acknowledged policy was lost";
    EXPECT_GE(fmr, seen[1]) << "after kill " << i;
    if (acked[2] > 0) {
      ASSERT_TRUE(ReadNumber(gate, settings::kCustomMask, &mask)) << "after kill " << i;
    }
    EXPECT_GE(static_cast<uint32_t>(mask), acked[2]) << "after kill " << i << ": an acknowledged mask was lost";
    EXPECT_GE(mask, seen[2]) << "after kill " << i;
    seen[0] = count;
    seen[1] = fmr;
    seen[2] = mask;
    if (ReadNumber(userInfo, settings::kIdentifyFailureCount, &identifyCount)) {
      EXPECT_LT(identifyCount, kIdentifyLimit) << "after kill " << i << ": a count at the limit without a lock";
    }
    if (HasFailure()) break;
    ++survived;
  }
  close(ackFd);
  printf("kills survived: %ld of %ld (%ld writes acknowledged; verify count %u, policy %u, mask %u)\n", survived,
         kills, acknowledged, acked[0], acked[1], acked[2]);
  EXPECT_EQ(kills, survived);
  EXPECT_GT(acked[0], 0u);
  EXPECT_GT(acked[1], 0u);
  EXPECT_GT(acked[2], 0u);
}

}  // namespace
}  // namespace ambercrypt
