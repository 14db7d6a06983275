#include "tool_run.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

#include "app/version.h"
#include "platform/posix/unique_fd.h"

namespace tessaly::offline_test {
namespace {

using posix::UniqueFd;

// Starts the tool with its standard output and error on these descriptors.
pid_t Start(const std::vector<std::string>& arguments, const ToolLimits& limits, int output, int errors) {
  std::vector<char*> argv;
  std::string program = TESSALY_EXECUTABLE;
  argv.push_back(program.data());
  std::vector<std::string> copies = arguments;
  for (std::string& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    // Only async-signal-safe calls between fork and exec.
    dup2(output, STDOUT_FILENO);
    dup2(errors, STDERR_FILENO);
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
  return child;
}

// Reads each stream to its end (a terminal's once the tool has closed it),
// all together, so that none can fill up and stall the tool.
void Drain(std::vector<std::pair<UniqueFd, std::string*>> streams) {
  std::vector<pollfd> polled;
  for (const auto& stream : streams) polled.push_back({stream.first.Get(), POLLIN, 0});
  char buffer[4096];
  for (std::size_t open = streams.size(); open > 0;) {
    if (poll(polled.data(), polled.size(), -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("poll failed");
    }
    for (std::size_t i = 0; i < streams.size(); ++i) {
      if (polled[i].fd < 0 || polled[i].revents == 0) continue;
      const ssize_t got = read(polled[i].fd, buffer, sizeof(buffer));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        streams[i].first.Reset();
        polled[i].fd = -1;
        --open;
        continue;
      }
      streams[i].second->append(buffer, static_cast<std::size_t>(got));
    }
  }
}

// The low 8 bits of the exit code, or -1 when the tool did not exit.
int Wait(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Both ends of a pipe, the write end for the tool.
std::pair<UniqueFd, UniqueFd> Pipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

// A pseudo-terminal's controlling side and the terminal the tool gets.
std::pair<UniqueFd, UniqueFd> Terminal() {
  int controller = -1;
  int terminal = -1;
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 80;
  if (openpty(&controller, &terminal, nullptr, nullptr, &size) != 0) throw std::runtime_error("openpty failed");
  UniqueFd controllerOwner(controller);
  UniqueFd terminalOwner(terminal);
  if (fcntl(controller, F_SETFD, FD_CLOEXEC) != 0 || fcntl(terminal, F_SETFD, FD_CLOEXEC) != 0) {
    throw std::runtime_error("fcntl failed");
  }
  return {std::move(controllerOwner), std::move(terminalOwner)};
}

}  // namespace

ToolRun RunTessaly(const std::vector<std::string>& arguments, const ToolLimits& limits) {
  auto [output, outputEnd] = Pipe();
  auto [errors, errorsEnd] = Pipe();
  const pid_t child = Start(arguments, limits, outputEnd.Get(), errorsEnd.Get());
  outputEnd.Reset();
  errorsEnd.Reset();
  ToolRun run;
  std::vector<std::pair<UniqueFd, std::string*>> streams;
  streams.emplace_back(std::move(output), &run.output);
  streams.emplace_back(std::move(errors), &run.errors);
  Drain(std::move(streams));
  run.exitStatus = Wait(child);
  return run;
}

ToolRun RunTessaly(const std::vector<std::string>& arguments, Streams streams) {
  ToolRun run;
  std::vector<std::pair<UniqueFd, std::string*>> drained;
  UniqueFd errorsFile;
  pid_t child = -1;
  switch (streams) {
    case Streams::ErrorsInFile: {
      auto [output, outputEnd] = Pipe();
      errorsFile.Reset(open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
      if (!errorsFile) throw std::runtime_error("open failed");
      child = Start(arguments, {}, outputEnd.Get(), errorsFile.Get());
      drained.emplace_back(std::move(output), &run.output);
      break;
    }
    case Streams::ErrorsOnTerminal: {
      auto [output, outputEnd] = Pipe();
      auto [controller, terminal] = Terminal();
      child = Start(arguments, {}, outputEnd.Get(), terminal.Get());
      drained.emplace_back(std::move(output), &run.output);
      drained.emplace_back(std::move(controller), &run.errors);
      break;
    }
    case Streams::BothOnTerminal: {
      auto [controller, terminal] = Terminal();
      child = Start(arguments, {}, terminal.Get(), terminal.Get());
      drained.emplace_back(std::move(controller), &run.output);
      break;
    }
  }
  // The tool's ends were closed with their case, so its streams end when it does.
  Drain(std::move(drained));
  run.exitStatus = Wait(child);
  char buffer[4096];
  for (off_t at = 0; errorsFile;) {
    const ssize_t got = pread(errorsFile.Get(), buffer, sizeof(buffer), at);
    if (got < 0) throw std::runtime_error("pread failed");
    if (got == 0) break;
    run.errors.append(buffer, static_cast<std::size_t>(got));
    at += got;
  }
  return run;
}

std::string Banner() { return std::string("\nTessaly\n版本：") + TESSALY_VERSION_TEXT + "\n\n"; }

// AddressSanitizer reserves terabytes of address space up front: there the
// cap is left out.
#if defined(__SANITIZE_ADDRESS__)
const ToolLimits kBoundedMemory{};
#else
const ToolLimits kBoundedMemory{.addressSpace = rlim_t{512} << 20};
#endif

}  // namespace tessaly::offline_test
