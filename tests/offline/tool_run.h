// Runs the real tessaly executable as a child process.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace tessaly::offline_test {

struct ToolRun {
  int exitStatus = -1;  // what the process exited with (the low 8 bits of its code); -1 if it did not exit
  std::string output;   // standard output, UTF-8
  std::string errors;   // standard error, UTF-8
};

struct ToolLimits {
  std::optional<uid_t> user = {};       // run as this user (and group of the same number)
  std::optional<unsigned> openFiles = {};  // RLIMIT_NOFILE
  std::optional<rlim_t> addressSpace = {};  // RLIMIT_AS, in bytes
};

ToolRun RunTessaly(const std::vector<std::string>& arguments, const ToolLimits& limits = {});

// Far below the gigabytes that a crafted hive would cost unchecked, far
// above what the tool needs for an image of a test's size.
extern const ToolLimits kBoundedMemory;

// Where the tool's standard output and standard error go. The terminal is a
// pseudo-terminal of 80 columns; what it receives is captured as the stream
// on it received it (both streams' bytes in `output` when they share it).
enum class Streams {
  ErrorsInFile,      // standard error a regular file, standard output a pipe
  ErrorsOnTerminal,  // standard error a terminal, standard output a pipe
  BothOnTerminal,    // both on one terminal, as in an interactive shell
};
ToolRun RunTessaly(const std::vector<std::string>& arguments, Streams streams);

// The banner every run starts with.
std::string Banner();

}  // namespace tessaly::offline_test
