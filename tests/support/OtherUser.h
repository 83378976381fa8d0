#pragma once
// Acting as another local user: the tests run as the administrator, and a child process that has
// given up its rights for an unprivileged account does what any user of the machine could do.
#include <sys/types.h>

#include <functional>

// The account "nobody".
constexpr uid_t kOtherUser = 65534;
// A second user, one without an account.
constexpr uid_t kSecondOtherUser = 65533;

// Runs work in a child process as the user (and the group of the same number, without the
// administrator's groups) and waits for it: work's result, or 125 when the child could not become
// that user. The child ends with _exit, so it runs no test code after.
int RunAsOtherUser(const std::function<int()>& work, uid_t user = kOtherUser);

// The same in the background, for work that goes on until it is ended: the child is killed when
// the object goes.
class cOtherUserProcess {
 public:
  explicit cOtherUserProcess(const std::function<int()>& work, uid_t user = kOtherUser);
  ~cOtherUserProcess();
  cOtherUserProcess(const cOtherUserProcess&) = delete;
  cOtherUserProcess& operator=(const cOtherUserProcess&) = delete;

  bool Started() const { return m_Child > 0; }
  // Waits for the child's end: its exit code, or -1 when it did not end by itself.
  int Wait();

 private:
  pid_t m_Child;
};
