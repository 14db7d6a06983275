// The offline programs' command line: [--dry-run|-n] [--jobs|-j N]
// WINDOWS_DIR, --help/-h, --version; "--" ends the options.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tessaly::offline {

struct CommandLine {
  enum class Action { Run, ShowHelp, ShowVersion, Refuse };
  Action action = Action::Refuse;
  bool dryRun = false;
  // Threads in all: the walk's own, and the rest reading directories ahead
  // of it. nullopt leaves it to the machine.
  std::optional<unsigned> jobs;
  std::string windowsDirectory;
  // Why the command line is refused, one line; for Action::Refuse.
  std::u16string refusal;
};

// arguments: argv without the program name, UTF-8. The first of --help,
// --version or an unknown option decides; otherwise exactly one WINDOWS_DIR
// is needed. programName starts each refusal.
CommandLine ParseCommandLine(std::span<const char* const> arguments, std::u16string_view programName);

}  // namespace tessaly::offline
