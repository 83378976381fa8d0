#include "tests/support/OtherUser.h"

#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int kNotThatUser = 125;

pid_t StartAs(const std::function<int()>& work, uid_t user) {
  const pid_t child = fork();
  if (child == 0) {
    const bool becameUser = setgroups(0, nullptr) == 0 && setgid(user) == 0 && setuid(user) == 0;
    _exit(becameUser ? work() : kNotThatUser);
  }
  return child;
}

}  // namespace

int RunAsOtherUser(const std::function<int()>& work, uid_t user) {
  cOtherUserProcess child(work, user);
  return child.Wait();
}

cOtherUserProcess::cOtherUserProcess(const std::function<int()>& work, uid_t user)
    : m_Child(StartAs(work, user)) {}

cOtherUserProcess::~cOtherUserProcess() {
  if (m_Child <= 0) return;
  kill(m_Child, SIGKILL);
  Wait();
}

int cOtherUserProcess::Wait() {
  if (m_Child <= 0) return -1;
  int status = 0;
  while (waitpid(m_Child, &status, 0) < 0 && errno == EINTR) {
  }
  m_Child = 0;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
