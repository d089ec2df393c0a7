// The administration tools as the processes an administrator runs (Linux): a
// password prompt stopped by Ctrl-C, Ctrl-\, kill or a hang-up gives the
// terminal back with its echo, and the tools that hold secrets are not
// dumpable (seen from outside: /proc shows a non-dumpable process's files as
// root's, whoever runs it).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace {

constexpr uid_t kNobody = 65534;
constexpr int kWaitMilliseconds = 30000;  // for a tool that never gets there

// A program running on a new pseudo-terminal, its controlling terminal.
class TerminalProcess {
 public:
  ~TerminalProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }

  // Starts argv in directory (as uid, when not -1) with AMBERCRYPT_ROOT set.
  bool Start(const std::vector<std::string> &argv, const std::string &directory, uid_t uid = static_cast<uid_t>(-1)) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
    const std::string slaveName = ptsname(master_);
    // Kept open here too, to read the terminal's settings after the child.
    slave_ = open(slaveName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) return false;
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "AMBERCRYPT_ROOT=", 16) != 0) env.push_back(*e);
    }
    env.push_back("AMBERCRYPT_ROOT=" + directory + "/absent");
    std::vector<char *> args, envp;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string &e : env) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      // A session of its own whose controlling terminal is the new one, so
      // Ctrl-C typed there reaches it as it would from a shell.
      setsid();
      int terminal = open(slaveName.c_str(), O_RDWR);
      if (terminal < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0) _exit(120);
      dup2(terminal, 0);
      dup2(terminal, 1);
      dup2(terminal, 2);
      if (chdir(directory.c_str()) != 0) _exit(121);
      if (uid != static_cast<uid_t>(-1) && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(122);
      // As a shell starts a command: stop signals at their defaults, whatever
      // this test inherited (nohup, a background job of a script).
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      for (int number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) signal(number, SIG_DFL);
      execve(args[0], args.data(), envp.data());
      _exit(123);
    }
    return true;
  }

  // Reads what the program writes until text shows.
  bool WaitFor(const std::string &text) {
    std::string seen;
    while (seen.find(text) == std::string::npos) {
      pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, kWaitMilliseconds) != 1) return false;
      char buffer[256];
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) return false;
      seen.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }

  bool Echoing() const {
    termios t{};
    EXPECT_EQ(0, tcgetattr(slave_, &t));
    return (t.c_lflag & ECHO) != 0;
  }

  // What was typed and not yet read, as the shell would read it next.
  std::string Unread() const {
    termios t{};
    EXPECT_EQ(0, tcgetattr(slave_, &t));
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON);  // a line not yet ended becomes readable
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    EXPECT_EQ(0, tcsetattr(slave_, TCSANOW, &t));
    char buffer[256];
    ssize_t n = read(slave_, buffer, sizeof buffer);
    return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
  }

  void Type(const std::string &keys) const {
    ASSERT_EQ(static_cast<ssize_t>(keys.size()), write(master_, keys.data(), keys.size()));
  }

  // The wait status once it has ended; one that has not ended when
  // kWaitMilliseconds have passed is killed, and the test fails.
  int Wait() {
    sigset_t child, old;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child, &old);
    int status = 0;
    pid_t ended;
    timespec now, deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += kWaitMilliseconds / 1000;
    while ((ended = waitpid(pid_, &status, WNOHANG)) == 0) {
      clock_gettime(CLOCK_MONOTONIC, &now);
      int64_t left = (deadline.tv_sec - now.tv_sec) * 1000000000LL + (deadline.tv_nsec - now.tv_nsec);
      if (left <= 0) break;
      const timespec limit = {static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
      if (sigtimedwait(&child, nullptr, &limit) < 0 && errno == EAGAIN) break;
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (ended == 0) {
      ADD_FAILURE() << "the tool did not end";
      kill(pid_, SIGKILL);
      ended = waitpid(pid_, &status, 0);
    }
    EXPECT_EQ(pid_, ended);
    pid_ = -1;
    return status;
  }

  pid_t pid() const { return pid_; }

 private:
  int master_ = -1, slave_ = -1;
  pid_t pid_ = -1;
};

// Owner of /proc/<pid>/status: the process's own account while it is
// dumpable, root's once it is not.
uid_t ProcOwner(pid_t pid) {
  struct stat st;
  std::string path = "/proc/" + std::to_string(pid) + "/status";
  return stat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-2);
}

class ToolProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ambercrypt-tools-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    chmod(dir_.c_str(), 0755);  // the second account below works in it too
  }
  void TearDown() override { ASSERT_EQ(0, system(("rm -rf '" + dir_ + "'").c_str())); }

  // The account the tools run as for the dumpable checks: another one when
  // this is root (whose own files /proc would show either way), else this.
  static uid_t Runner() { return geteuid() == 0 ? kNobody : geteuid(); }
  static uid_t RunAs() { return geteuid() == 0 ? kNobody : static_cast<uid_t>(-1); }

  std::string dir_;
};

TEST_F(ToolProcessTest, AStoppedPasswordPromptGivesTheEchoBack) {
  struct Case {
    const char *how;
    int signal;
    const char *keys;  // typed at the terminal, else the signal is sent
  };
  const Case cases[] = {
      {"Ctrl-C", SIGINT, "\x03"},
      {"Ctrl-\\", SIGQUIT, "\x1c"},
      {"kill", SIGTERM, nullptr},
      {"a hang-up", SIGHUP, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.how);
    TerminalProcess tool;
    ASSERT_TRUE(tool.Start({AMBERCRYPT_ADMIN_TOOL, "install"}, dir_));
    ASSERT_TRUE(tool.WaitFor("new administrator password: "));
    ASSERT_FALSE(tool.Echoing()) << "the prompt shows only once echo is off";
    tool.Type("Half-a-Passw");
    if (c.keys != nullptr) {
      tool.Type(c.keys);
    } else {
      ASSERT_EQ(0, kill(tool.pid(), c.signal));
    }
    int status = tool.Wait();
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << status;
    EXPECT_EQ(c.signal, WTERMSIG(status));
    EXPECT_TRUE(tool.Echoing());
    EXPECT_EQ("", tool.Unread()) << "the half-typed password is left for the shell";
  }
}

TEST_F(ToolProcessTest, TheAdministrationToolIsNotDumpable) {
  // The check itself: an ordinary program on the same terminal shows as its
  // account's.
  TerminalProcess plain;
  ASSERT_TRUE(plain.Start({"/bin/cat"}, dir_, RunAs()));
  plain.Type("x\n");
  ASSERT_TRUE(plain.WaitFor("x\r\nx"));  // echoed, then written back: it runs
  EXPECT_EQ(Runner(), ProcOwner(plain.pid()));

  TerminalProcess tool;
  ASSERT_TRUE(tool.Start({AMBERCRYPT_ADMIN_TOOL, "install"}, dir_, RunAs()));
  ASSERT_TRUE(tool.WaitFor("new administrator password: "));
  uid_t owner = ProcOwner(tool.pid());
  EXPECT_NE(Runner(), owner);
  EXPECT_NE(static_cast<uid_t>(-2), owner);
}

TEST_F(ToolProcessTest, TheResponseVerifierIsNotDumpable) {
  // Its record is a FIFO this test holds open: it opens it (an inotify event
  // says so, after its first lines) and waits there for bytes.
  const std::string fifo = dir_ + "/record", key = dir_ + "/key";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0666));
  chmod(fifo.c_str(), 0666);
  ASSERT_EQ(0, system(("echo Key-Text-1 >'" + key + "'; chmod 0644 '" + key + "'").c_str()));
  int holder = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_LE(0, holder);
  int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_LE(0, watch);
  ASSERT_LE(0, inotify_add_watch(watch, fifo.c_str(), IN_OPEN));
  TerminalProcess tool;
  ASSERT_TRUE(tool.Start({AMBERCRYPT_VERIFY_TOOL, "verify", "--challenge", "Nonce4711", "--record", fifo, "--response",
                          key, "--method", "40", "--key-file", key},
                         dir_, RunAs()));
  pollfd p = {watch, POLLIN, 0};
  ASSERT_EQ(1, poll(&p, 1, kWaitMilliseconds)) << "the verifier never opened its record";
  uid_t owner = ProcOwner(tool.pid());
  EXPECT_NE(Runner(), owner);
  EXPECT_NE(static_cast<uid_t>(-2), owner);
  close(watch);
  close(holder);
}

}  // namespace
