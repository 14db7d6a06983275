#include "tool_run.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
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

  int outputPipe[2];
  int errorPipe[2];
  if (pipe2(outputPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(errorPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    // Only async-signal-safe calls between fork and exec.
    dup2(outputPipe[1], STDOUT_FILENO);
    dup2(errorPipe[1], STDERR_FILENO);
    if (limits.openFiles) {
      const rlimit limit{*limits.openFiles, *limits.openFiles};
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(125);
    }
    if (limits.addressSpace) {
      const rlimit limit{*limits.addressSpace, *limits.addressSpace};
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(125);
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
  close(outputPipe[1]);
  close(errorPipe[1]);

  // Both pipes are drained together, so that neither can fill up and stall the tool.
  ToolRun run;
  pollfd streams[2] = {{outputPipe[0], POLLIN, 0}, {errorPipe[0], POLLIN, 0}};
  std::string* const texts[2] = {&run.output, &run.errors};
  char buffer[4096];
  while (streams[0].fd >= 0 || streams[1].fd >= 0) {
    if (poll(streams, 2, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("poll failed");
    }
    for (int i = 0; i < 2; ++i) {
      if (streams[i].fd < 0 || streams[i].revents == 0) continue;
      const ssize_t got = read(streams[i].fd, buffer, sizeof(buffer));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        close(streams[i].fd);
        streams[i].fd = -1;
        continue;
      }
      texts[i]->append(buffer, static_cast<std::size_t>(got));
    }
  }

  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  return run;
}

std::string Banner() { return std::string("\nTessaly\n版本：") + TESSALY_VERSION_TEXT + "\n\n"; }

}  // namespace tessaly::offline_test
