#include "platform/offline/command_line.h"

#include <charconv>
#include <vector>

#include "platform/posix/printable_path.h"

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

CommandLine ParseCommandLine(std::span<const char* const> arguments) {
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
        commandLine.refusal = u"tessaly：--jobs 需要 1 到 64 之间的整数 / --jobs needs a whole number from 1 to 64: " +
                              PrintablePath(*jobs);
        return commandLine;
      }
    } else {
      commandLine.refusal = u"tessaly：未知选项 / unknown option: " + PrintablePath(argument);
      return commandLine;
    }
  }
  if (operands.size() != 1) {
    commandLine.refusal = u"tessaly：需要一个 WINDOWS_DIR / expected one WINDOWS_DIR";
    return commandLine;
  }
  commandLine.action = CommandLine::Action::Run;
  commandLine.windowsDirectory = operands.front();
  return commandLine;
}

std::string_view UsageText() {
  return "用法：tessaly [--dry-run|-n] [--jobs|-j N] WINDOWS_DIR\n"
         "修复挂载在 Linux 上的 Windows 10 组件存储：清除 COMPONENTS 注册表中与文件不符的存储格式标记。\n"
         "  WINDOWS_DIR    Windows 目录，例如 /mnt/win/Windows\n"
         "  -n, --dry-run  试运行：列出需要修复的文件，不修改任何文件\n"
         "  -j, --jobs N   共用 N 个线程，其中 N-1 个提前读取目录（默认：可用的 CPU 数，最多 8）；\n"
         "                 1 表示逐个读取，不另开线程\n"
         "  -h, --help     显示本帮助并退出\n"
         "      --version  显示版本并退出\n"
         "标准错误输出为终端时，在其上用一行显示进度：已检查的组件数和总数、已查看的文件数、用时。\n"
         "\n"
         "Usage: tessaly [--dry-run|-n] [--jobs|-j N] WINDOWS_DIR\n"
         "Repairs the component store of a Windows 10 installation mounted on Linux: clears the stored-form\n"
         "claims in its COMPONENTS hive that the files do not bear out.\n"
         "  WINDOWS_DIR    the Windows folder, for example /mnt/win/Windows\n"
         "  -n, --dry-run  list the files a repair would fix; change nothing\n"
         "  -j, --jobs N   use N threads, N-1 of them reading directories ahead (default: the CPUs\n"
         "                 available, at most 8); 1 reads them in turn, without other threads\n"
         "  -h, --help     print this help and exit\n"
         "      --version  print the version and exit\n"
         "When standard error is a terminal, one line there shows the progress: components checked of the\n"
         "total, files seen, time taken.\n";
}

}  // namespace tessaly::offline
