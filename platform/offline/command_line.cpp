#include "platform/offline/command_line.h"

#include <charconv>
#include <vector>

#include "platform/offline/printable_path.h"

namespace tessaly::offline {
namespace {

// More threads than this only queue on the disk.
constexpr unsigned kMaxJobs = 64;

std::optional<unsigned> ParseJobs(std::string_view text) {
  unsigned jobs = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), jobs);
  if (error != std::errc() || end != text.data() + text.size() || jobs == 0 || jobs > kMaxJobs) return std::nullopt;
  return jobs;
}

// When the argument at *position is -j or --jobs, its value: in the same
// argument or the next one, which *position then moves to.
std::optional<std::string_view> JobsValue(std::span<const char* const> arguments, std::size_t* position) {
  const std::string_view argument = arguments[*position];
  for (const std::string_view option : {std::string_view("-j"), std::string_view("--jobs")}) {
    if (argument == option) {
      if (*position + 1 == arguments.size()) return std::string_view();
      return arguments[++*position];
    }
  }
  if (argument.starts_with("--jobs=")) return argument.substr(7);
  if (argument.starts_with("-j")) return argument.substr(2);
  return std::nullopt;
}

}  // namespace

CommandLine ParseCommandLine(std::span<const char* const> arguments, std::u16string_view programName) {
  const std::u16string prefix = std::u16string(programName) + u"：";
  CommandLine commandLine;
  std::vector<std::string_view> operands;
  bool optionsEnded = false;
  for (std::size_t position = 0; position < arguments.size(); ++position) {
    const std::string_view argument = arguments[position];
    // A lone "-" names a folder, as it does for other tools.
    if (optionsEnded || !argument.starts_with('-') || argument == "-") {
      operands.push_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--dry-run" || argument == "-n") {
      commandLine.dryRun = true;
    } else if (argument == "--help" || argument == "-h") {
      commandLine.action = CommandLine::Action::ShowHelp;
      return commandLine;
    } else if (argument == "--version") {
      commandLine.action = CommandLine::Action::ShowVersion;
      return commandLine;
    } else if (const std::optional<std::string_view> jobs = JobsValue(arguments, &position)) {
      commandLine.jobs = ParseJobs(*jobs);
      if (!commandLine.jobs) {
        commandLine.refusal = prefix + u"--jobs 需要 1 到 64 之间的整数 / --jobs needs a whole number from 1 to 64: " +
                              PrintablePath(*jobs);
        return commandLine;
      }
    } else {
      commandLine.refusal = prefix + u"未知选项 / unknown option: " + PrintablePath(argument);
      return commandLine;
    }
  }
  if (operands.size() != 1) {
    commandLine.refusal = prefix + u"需要一个 WINDOWS_DIR / expected one WINDOWS_DIR";
    return commandLine;
  }
  commandLine.action = CommandLine::Action::Run;
  commandLine.windowsDirectory = operands.front();
  return commandLine;
}

}  // namespace tessaly::offline
