// child_process.h (Linux tests): runs a body in forked children released
// together, as separate processes of the same program would run it.
#ifndef AMBERCRYPT_TESTS_SUPPORT_CHILD_PROCESS_H_
#define AMBERCRYPT_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace ambercrypt::test {

// Runs body(i) in n children at once; returns their exit codes (128 + the
// signal for a child killed by one).
template <typename Body>
std::vector<int> RunChildren(int n, Body body) {
  int gate[2];
  EXPECT_EQ(0, pipe(gate));
  std::vector<pid_t> pids;
  for (int i = 0; i < n; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      close(gate[1]);
      char go;
      (void)!read(gate[0], &go, 1);  // returns when the parent closes the pipe
      _exit(body(i));
    }
    pids.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);
  std::vector<int> codes;
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    codes.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
  return codes;
}

// Runs body once in a child; its exit code.
template <typename Body>
int RunChild(Body body) {
  return RunChildren(1, [&](int) { return body(); })[0];
}

}  // namespace ambercrypt::test

#endif  // AMBERCRYPT_TESTS_SUPPORT_CHILD_PROCESS_H_
