#include "tool_run.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "app/version.h"

namespace tessaly::offline_test {

ToolRun RunTessaly(const std::vector<std::string>& arguments, const ToolLimits& limits) {
  std::vector<char*> argv;
  std::string program = TESSALY_EXECUTABLE;
  argv.push_back(program.data());
  std::vector<std::string> copies = arguments;
  for (std::string& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    // Only async-signal-safe calls between fork and exec.
    dup2(pipeFds[1], STDOUT_FILENO);
    if (limits.openFiles) {
      const rlimit limit{*limits.openFiles, *limits.openFiles};
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(125);
    }
    if (limits.user) {
      if (setgroups(0, nullptr) != 0 || setresgid(*limits.user, *limits.user, *limits.user) != 0 ||
          setresuid(*limits.user, *limits.user, *limits.user) != 0) {
        _exit(125);
      }
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFds[1]);

  ToolRun run;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(pipeFds[0], buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    run.output.append(buffer, static_cast<std::size_t>(got));
  }
  close(pipeFds[0]);

  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  return run;
}

std::string Banner() { return std::string("\nTessaly\n版本：") + TESSALY_VERSION_TEXT + "\n\n"; }

}  // namespace tessaly::offline_test
