// A real second process for tests: started with extra environment, its standard output and error
// collected in a file, signalled and waited for.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/TestSupport.h"

extern char** environ;

namespace zel::test {

class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
               const std::string& outputFile)
      : output_(outputFile) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string entry(*e);
      bool replaced = false;
      for (const auto& extra : extraEnv)
        if (entry.substr(0, entry.find('=') + 1) == extra.substr(0, extra.find('=') + 1)) replaced = true;
      if (!replaced) env.push_back(entry);
    }
    for (const auto& extra : extraEnv)
      if (extra.back() != '=') env.push_back(extra);  // "NAME=" alone removes NAME
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ChildProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      wait();
    }
  }
  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void signal(int s) { ::kill(pid_, s); }
  // Exit status, or 128 + signal; -1 when it has not ended within `limit`.
  int wait(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    if (exited_) return status_;
    auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
      int st = 0;
      pid_t r = waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        exited_ = true;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return status_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
  }
  std::string output() const { return ReadFile(output_); }

 private:
  std::string output_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
};

}  // namespace zel::test
