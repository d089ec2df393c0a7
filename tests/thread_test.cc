// The exports called from many threads of one process at once: eight threads
// run the whole road of the host application (function check, BIR cipher,
// verify and identify check, update and challenge) while a ninth administers
// it and another application. Every answer must be one the call may give,
// every BIR must come back as it went, every challenge answer must be one
// whole outcome that some thread reported, answered once, and the identify
// lockout, counted by all threads, must come out exact. Built with
// -DAMBERCRYPT_TSAN=ON it runs under ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ambercrypt/ambercrypt.h"
#include "ambercrypt/verifier.h"
#include "frame/entry.h"
#include "store/caches.h"
#include "store/setting_store.h"
#include "support/lockout_model.h"
#include "support/test_support.h"

namespace ambercrypt {
namespace {

using test::BirOf;
using test::Bytes;

constexpr uint32_t F = AMBER_ERROR_FLAG;
constexpr int kThreads = 8;
constexpr int32_t kIdentifyMaxFailures = 7;
constexpr int32_t kFmrPerThread = 100000;  // achievedFmr = thread * kFmrPerThread + iteration
const char kPassword[] = "Admin123";
const char kKeyText[] = "KeyText1";
const char kChallenge[] = "Nonce4711";

int Iterations() {
  const char *text = getenv("AMBERCRYPT_THREAD_ITERATIONS");
  int n = text != nullptr ? atoi(text) : 0;
  if (n > 0 && n < kFmrPerThread) return n;
#if defined(_WIN32)
  return 40;  // every registry call a round trip to Wine's server
#else
  return 150;
#endif
}

ResponseMethodRecord Hmac() { return test::ResponseMethod(AMBER_RESPONSE_HMAC, kKeyText); }

uint32_t Administer() {
  uint32_t code = KoBioSPI_RestrictBSPFunction("Scanner", 4, 0, kPassword);
  if (code == 0) code = KoBioSPI_InitVerifyParameter("Scanner", 1000, 1000000, 0, 1, Hmac(), kPassword);
  if (code == 0) code = KoBioSPI_InitIdentifyParameter("Scanner", 1000, kIdentifyMaxFailures, 0, 1, Hmac(), kPassword);
  return code;
}

// One thread's BIRs: what it verifies with and what it enciphers.
struct ThreadData {
  Bytes person, plain, cipher;
  std::string digestText;  // as the verify challenge reports its person's digest
};

class ThreadTest : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    test::ProvisionInstallation(kPassword, 4321);
    test::AttachAs("C:\\Apps\\Admin.EXE");
    ASSERT_EQ(0u, Administer());
    ASSERT_EQ(0u, KoBioSPI_InitSecretKey("Scanner", AMBER_CALG_AES_256, "Secret7Key", kPassword));
    test::AttachAs("C:\\Apps\\Scanner.EXE");
  }
};

TEST_F(ThreadTest, EightThreadsRunTheRoadWhileAnAdministratorChangesThePolicy) {
  const int iterations = Iterations();
  // Serially first: each thread's ciphertext and the digest text its
  // outcomes carry, to compare the threads' answers with.
  std::vector<ThreadData> data(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    ThreadData &d = data[t];
    std::string person = "person of thread " + std::to_string(t);
    d.person.assign(person.begin(), person.end());
    for (int i = 0; i < 100 + 37 * t; ++i) d.plain.push_back(static_cast<uint8_t>(i * 7 + t));
    BioAPI_BIR in = BirOf(d.plain);
    d.cipher.assign(d.plain.size() + 32, 0);
    BioAPI_BIR out = BirOf(d.cipher);
    ASSERT_EQ(0u, KoBioFPI_EncryptBIR(&in, &out));
    d.cipher.resize(out.BiometricData.Length);
    BioAPI_BIR bir = BirOf(d.person);
    ASSERT_EQ(0u, KoBioFPI_UpdateVerifyStatus(1, &bir, 0, 0));
    uint8_t response[20];
    VerifyChallengeRecord record;
    memset(&record, 0, sizeof record);
    record.responseData = response;
    record.responseLength = sizeof response;
    ASSERT_EQ(0u, KoBioSPI_VerifyChallenge(kChallenge, &record));
    d.digestText.assign(record.digestText, strnlen(record.digestText, sizeof record.digestText));
  }
  // From here on every identify check counts a failure.
  uint32_t none = 0;
  BioAPI_CANDIDATE *noCandidates = nullptr;
  ASSERT_EQ(0u, KoBioFPI_UpdateIdentifyStatus(&none, &noCandidates, 0));

  const AmberVerifierKey key{AMBER_RESPONSE_HMAC, kKeyText, strlen(kKeyText), nullptr, 0};
  std::mutex mu;
  std::vector<std::string> failures;
  std::vector<int32_t> answered;  // the achievedFmr of every verify outcome answered
  std::atomic<int64_t> identifyLocks{0};
  std::atomic<int> running{kThreads};
  auto fail = [&](const std::string &what) {
    std::lock_guard<std::mutex> lock(mu);
    if (failures.size() < 20) failures.push_back(what);
  };

  auto worker = [&](int t) {
    ThreadData &d = data[t];
    BioAPI_BIR person = BirOf(d.person);
    std::vector<int32_t> mine;
    for (int i = 0; i < iterations; ++i) {
      const std::string at = "thread " + std::to_string(t) + " iteration " + std::to_string(i) + ": ";
      uint32_t code;
      if ((code = KoBioFPI_CheckMode(0x1)) != 0) fail(at + "CheckMode(0x1) " + std::to_string(code));
      if ((code = KoBioFPI_CheckMode(0x800)) != (AMBER_E_NOT_PERMITTED | F)) fail(at + "CheckMode(0x800) " + std::to_string(code));

      Bytes cipher(d.plain.size() + 32, 0), back(d.plain.size(), 0);
      BioAPI_BIR in = BirOf(d.plain), out = BirOf(cipher), dec = BirOf(back);
      if ((code = KoBioFPI_EncryptBIR(&in, &out)) != 0 ||
          !std::equal(d.cipher.begin(), d.cipher.end(), cipher.begin()) || out.BiometricData.Length != d.cipher.size()) {
        fail(at + "EncryptBIR " + std::to_string(code));
      }
      if ((code = KoBioFPI_DecryptBIR(&out, &dec)) != 0 || back != d.plain) fail(at + "DecryptBIR " + std::to_string(code));

      int32_t allowed = 0;
      uint8_t flag = 0;
      if ((code = KoBioFPI_VerifySecurityStatas(&person, 10, &allowed, &flag)) != 0 || allowed != 10 || flag != 1) {
        fail(at + "VerifySecurityStatas " + std::to_string(code));
      }
      const int32_t fmr = t * kFmrPerThread + i;
      if ((code = KoBioFPI_UpdateVerifyStatus(i % 2, &person, fmr, static_cast<uint8_t>(t))) != 0) {
        fail(at + "UpdateVerifyStatus " + std::to_string(code));
      }
      uint8_t response[20];
      VerifyChallengeRecord record;
      memset(&record, 0, sizeof record);
      record.responseData = response;
      record.responseLength = sizeof response;
      code = KoBioSPI_VerifyChallenge(kChallenge, &record);
      if (code == 0) {
        // One whole outcome of some thread: its level, rate, result and
        // person agree, and the response answers them.
        const int u = record.level, j = record.achievedFmr - u * kFmrPerThread;
        if (u >= kThreads || j < 0 || j >= iterations || record.result != j % 2 ||
            data[u].digestText != std::string(record.digestText, strnlen(record.digestText, sizeof record.digestText)) ||
            AmberVerifierCheckVerify(&key, kChallenge, &record) != AMBER_VERIFIER_VALID) {
          fail(at + "VerifyChallenge answered an outcome no thread reported");
        }
        mine.push_back(record.achievedFmr);
      } else if (code != (AMBER_E_NO_PENDING_OUTCOME | F)) {
        fail(at + "VerifyChallenge " + std::to_string(code));
      }

      code = KoBioFPI_IdentifySecurityStatas(nullptr, 10, &allowed, &flag);
      if (code == (AMBER_E_LOCKED_NOW | F)) {
        ++identifyLocks;
      } else if (code != 0) {
        fail(at + "IdentifySecurityStatas " + std::to_string(code));
      }
      uint32_t count = 0;
      if ((code = KoBioFPI_UpdateIdentifyStatus(&count, &noCandidates, static_cast<uint8_t>(t))) != 0) {
        fail(at + "UpdateIdentifyStatus " + std::to_string(code));
      }
      IdentifyChallengeRecord identify;
      memset(&identify, 0, sizeof identify);
      identify.responseData = response;
      identify.responseLength = sizeof response;
      code = KoBioSPI_IdentifyChallenge(kChallenge, &identify);
      if (code == 0) {
        if (identify.count != 0 || identify.candidates != nullptr || identify.level >= kThreads ||
            AmberVerifierCheckIdentify(&key, kChallenge, &identify, 0, nullptr) != AMBER_VERIFIER_VALID) {
          fail(at + "IdentifyChallenge answered an outcome no thread reported");
        }
      } else if (code != (AMBER_E_NO_PENDING_OUTCOME | F)) {
        fail(at + "IdentifyChallenge " + std::to_string(code));
      }
    }
    std::lock_guard<std::mutex> lock(mu);
    answered.insert(answered.end(), mine.begin(), mine.end());
    --running;
  };

  // The administrator rewrites the host's policy and mode with the same
  // values (its caches change under the readers) and sets another
  // application, which makes it the current one for a moment: challenges
  // then find no outcome of that application, which is an answer they may give.
  int administrations = 0;
  std::thread administrator([&] {
    while (running > 0) {
      uint32_t code = KoBioSPI_RestrictBSPFunction("Other", 5, 0x30, kPassword);
      if (code == 0) code = Administer();
      if (code != 0) fail("administration " + std::to_string(code));
      ++administrations;
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
  for (std::thread &thread : threads) thread.join();
  administrator.join();

  for (const std::string &f : failures) ADD_FAILURE() << f;
  EXPECT_GT(administrations, 0);
  // The first challenge of all had an outcome; none was answered twice.
  EXPECT_FALSE(answered.empty());
  EXPECT_EQ(answered.size(), std::set<int32_t>(answered.begin(), answered.end()).size());
  // Every identify check counted a failure, one at a time.
  const test::LockoutAfterChecks expected = test::ExpectedLockout(int64_t{kThreads} * iterations, kIdentifyMaxFailures);
  EXPECT_EQ(expected.locks, identifyLocks.load());
  const test::LockoutRecord record = test::ReadLockout(kIdentifyPolicy);
  ASSERT_EQ(0u, record.status);
  EXPECT_EQ(expected.count, record.failureCount);
  EXPECT_EQ(expected.locked, record.releaseTime != 0);
  // The other application's mode went to its own entry, not the host's.
  EXPECT_EQ(4u, *Caches().ModeCache.Find(AttachedFpiContext()->appKey()));
}

// KoBioSPI_RestrictBSPFunction publishes mode 5 and its mask as one pair. A
// writer alternates the host between two mode-5 pairs, (5, kFunction) and
// (5, 0), through mode 0 (a mask is stored only with mode 5, so only a change
// of mode can meet a mask it was not given with), while a reader asks
// KoBioFPI_CheckMode(kFunction) without pause. The three states answer
// 0x8000806, 0x800081D and 0: a mode 5 read with the other pair's mask
// answers what neither state around that call may. A sequence number the
// writer makes odd for the length of each call tells the reader which call
// its answer overlapped; answers that overlapped more than one call are not
// judged. Bounded by the writer's count of calls.
TEST_F(ThreadTest, CheckModeSeesEachRestrictionWhole) {
  constexpr uint32_t kFunction = 0x0100;
  constexpr int kCalls = 200;
  struct State {
    uint32_t mode, mask, answer;
  };
  const State states[4] = {{5, kFunction, AMBER_E_NOT_PERMITTED | F},
                           {0, 0, AMBER_E_MODE_ZERO | F},
                           {5, 0, AMBER_OK},
                           {0, 0, AMBER_E_MODE_ZERO | F}};
  // The state call k (from 0) leaves; before call 0, mode 4 (0).
  auto after = [&](int k) { return states[k % 4].answer; };
  auto before = [&](int k) { return k == 0 ? AMBER_OK : after(k - 1); };
  ASSERT_EQ(AMBER_OK, KoBioFPI_CheckMode(kFunction));

  std::atomic<int> sequence{0};  // 2k + 1 while call k runs, 2k + 2 after it
  std::atomic<bool> writing{true};
  std::atomic<int> refused{0};
  std::thread writer([&] {
    for (int k = 0; k < kCalls; ++k) {
      sequence.store(2 * k + 1);
      const State &s = states[k % 4];
      if (KoBioSPI_RestrictBSPFunction("Scanner", s.mode, s.mask, kPassword) != 0) refused.fetch_add(1);
      sequence.store(2 * k + 2);
    }
    writing.store(false);
  });
  long judged = 0, duringCalls = 0, mixtures = 0;
  uint32_t firstMixture = 0;
  while (writing.load()) {
    const int s1 = sequence.load();
    const uint32_t answer = KoBioFPI_CheckMode(kFunction);
    const int s2 = sequence.load();
    if (s1 != s2) continue;
    ++judged;
    bool whole;
    if (s1 % 2 == 0) {
      whole = answer == (s1 == 0 ? AMBER_OK : after(s1 / 2 - 1));
    } else {
      ++duringCalls;
      const int k = s1 / 2;
      whole = answer == before(k) || answer == after(k);
    }
    if (!whole && mixtures++ == 0) firstMixture = answer;
  }
  writer.join();
  EXPECT_EQ(0, refused.load());
  EXPECT_EQ(0, mixtures) << "of " << judged << " answers judged, " << duringCalls
                         << " during a call; the first mixture answered 0x" << std::hex << firstMixture;
}

// The host's entry has a word of its own: it moves there at attach, comes
// back to the map when another host is pinned, and reads the same either way.
TEST(SettingCacheTest, TheHostEntryMovesBetweenWordAndMap) {
  SettingCache<uint32_t> cache;
  cache.Insert("host\n", 4);
  cache.Insert("other\n", 5);
  cache.PinHost("host\n");
  cache.Insert("host\n", 9);  // present: nothing changes
  EXPECT_EQ(4u, *cache.Find("host\n"));
  EXPECT_EQ(2u, cache.size());
  cache.Replace("host\n", 6);
  cache.PinHost("other\n");
  EXPECT_EQ(6u, *cache.Find("host\n"));
  EXPECT_EQ(5u, *cache.Find(std::string("other\n")));
  cache.Erase("other\n");
  EXPECT_EQ(nullptr, cache.Find("other\n"));
  EXPECT_EQ(1u, cache.size());
  cache.Insert("other\n", 7);
  EXPECT_EQ(7u, *cache.Find("other\n"));
  cache.Clear();
  EXPECT_EQ(nullptr, cache.Find("host\n"));
  EXPECT_EQ(0u, cache.size());
}

// The mode and mask cache keeps pairs: each half behaves as a SettingCache
// (insert only when absent, erase, replace, sizes), the host's pair moves
// between its words and the map, and Find gives the mask with mode 5 only,
// while the mask half keeps the mask through other modes.
TEST(RestrictionCacheTest, HalvesOfOnePairInWordAndMap) {
  RestrictionCache cache;
  for (const char *host : {"host\n", ""}) {
    SCOPED_TRACE(host);
    cache.PinHost(host);
    cache.modes.Insert("host\n", 5);
    cache.modes.Insert("host\n", 3);  // present: nothing changes
    EXPECT_EQ(nullptr, cache.Find("host\n").mask);  // mode 5 before its mask
    cache.masks.Insert("host\n", 0x30);
    RestrictionCache::Pair pair = cache.Find("host\n");
    EXPECT_EQ(5u, *pair.mode);
    EXPECT_EQ(0x30u, *pair.mask);
    cache.Replace("host\n", 2, std::nullopt);
    pair = cache.Find("host\n");
    EXPECT_EQ(2u, *pair.mode);
    EXPECT_EQ(nullptr, pair.mask);
    EXPECT_EQ(0x30u, *cache.masks.Find("host\n"));
    cache.Replace("host\n", 5, std::nullopt);  // the mask it had
    EXPECT_EQ(0x30u, *cache.Find("host\n").mask);
    cache.Replace("host\n", 5, 0x41u);
    EXPECT_EQ(0x41u, *cache.Find(std::string("host\n")).mask);
    cache.Replace("host\n", 0xFFFFFFFFu, std::nullopt);  // any stored mode, whole
    EXPECT_EQ(0xFFFFFFFFu, *cache.Find("host\n").mode);
    cache.modes.Replace("other\n", 1);
    EXPECT_EQ(2u, cache.modes.size());
    EXPECT_EQ(1u, cache.masks.size());
    cache.masks.Erase("host\n");
    EXPECT_EQ(0u, cache.masks.size());
    cache.modes.Erase("host\n");
    EXPECT_EQ(nullptr, cache.Find("host\n").mode);
    EXPECT_EQ(1u, cache.modes.size());
    cache.Clear();
    EXPECT_EQ(0u, cache.modes.size());
  }
  // Pinning moves a pair whole, both ways.
  cache.Replace("a\n", 5, 0x7u);
  cache.Replace("b\n", 3, 0x9u);
  cache.PinHost("a\n");
  cache.PinHost("b\n");
  EXPECT_EQ(0x7u, *cache.Find("a\n").mask);
  EXPECT_EQ(3u, *cache.Find("b\n").mode);
  EXPECT_EQ(0x9u, *cache.masks.Find("b\n"));
  EXPECT_EQ(2u, cache.masks.size());
}

}  // namespace
}  // namespace ambercrypt
