// tessaly [--dry-run|-n] [--jobs|-j N] WINDOWS_DIR: repairs the component store of a
// Windows installation mounted on Linux (for example one that no longer
// starts), with the same run as on Windows, every question answered from
// the image. A dry run lists what a repair would change and writes nothing.
//
// The exit status is the run's code. Linux keeps only its low 8 bits: a
// completed scan exits with 0, a failure with the low byte of its HRESULT or
// NTSTATUS (0x80004001 -> 0x01, 0x80070020 -> 0x20, 0xC0000061 -> 0x61), and
// a wrong command line with 0x57, from 0x80070057 (E_INVALIDARG). A run
// that runs out of memory says so and exits with 0x0E, from 0x8007000E.

#include <unistd.h>

#include <cstdio>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "app/platform.h"
#include "app/run_repair.h"
#include "app/version.h"
#include "common/utf_conversion.h"
#include "platform/offline/command_line.h"
#include "platform/offline/image_check.h"
#include "platform/offline/image_tree.h"
#include "platform/offline/offline_console.h"
#include "platform/offline/offline_file_system.h"
#include "platform/offline/offline_host.h"
#include "platform/offline/offline_own_resources.h"
#include "platform/offline/offline_registry.h"
#include "platform/offline/offline_servicing_library.h"
#include "platform/offline/prepare_save.h"
#include "platform/offline/progress_line.h"
#include "platform/offline/read_ahead.h"
#include "platform/offline/read_ahead_plan.h"

namespace {

void Write(std::string_view text, std::FILE* stream) { std::fwrite(text.data(), 1, text.size(), stream); }

int Run(int argc, char** argv) {
  using namespace tessaly;
  using namespace tessaly::offline;

  const std::span<const char* const> arguments(argv, static_cast<std::size_t>(argc));
  const CommandLine commandLine = ParseCommandLine(arguments.empty() ? arguments : arguments.subspan(1));
  switch (commandLine.action) {
    case CommandLine::Action::ShowHelp:
      Write(UsageText(), stdout);
      return 0;
    case CommandLine::Action::ShowVersion:
      Write("tessaly " TESSALY_VERSION_TEXT "\n", stdout);
      return 0;
    case CommandLine::Action::Refuse:
      Write(Utf8FromUtf16Lossy(commandLine.refusal) + "\n", stderr);
      Write(UsageText(), stderr);
      return ToExitCode(HresultFromWin32(Win32Status::InvalidParameter));
    case CommandLine::Action::Run:
      break;
  }

  ProgressLine progress(STDERR_FILENO, ProgressLine::Clock::now);
  OfflineConsole console(progress);
  ImageTree image(commandLine.windowsDirectory);
  HiveFile software;
  if (const Hresult checked = CheckWindowsDirectory(image, commandLine.windowsDirectory, console, &software);
      checked != Hresult::Ok) {
    return ToExitCode(checked);
  }

  const RepairMode mode = commandLine.dryRun ? RepairMode::DryRun : RepairMode::Repair;
  // A dry run writes nothing, so it has no leftovers to clear and needs no room.
  HiveFile components;
  if (mode == RepairMode::Repair) {
    if (const std::optional<ExitCode> refused = PrepareToSave(image, console, &components)) return *refused;
  }
  const HiveAccess componentsAccess = mode == RepairMode::Repair ? HiveAccess::Repair : HiveAccess::Read;
  OfflineRegistry registry(image, console, progress, componentsAccess, std::move(components), std::move(software));
  OfflineHost host(image, registry, console, mode == RepairMode::Repair);
  OfflineServicingLibrary servicingLibrary(image);
  // The walk is one of the jobs. The store's path is as the engine forms it;
  // the image check has made sure the Windows directory's path is UTF-8.
  std::optional<ReadAheadPlan> readAhead;
  if (const unsigned jobs = commandLine.jobs.value_or(DefaultJobs()); jobs > 1) {
    readAhead.emplace(image, registry, u"\\\\?\\" + *image.WindowsDirectory() + u"\\winsxs\\", jobs - 1);
  }
  OfflineFileSystem files(image, progress, readAhead ? &*readAhead : nullptr);
  OfflineOwnResources ownResources;
  const Platform platform{console, host, registry, servicingLibrary, files, ownResources};
  return RunRepair(platform, mode);
}

}  // namespace

// Running out of memory is a failure like any other: said, not a silent abort.
int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    Write("内存不足，无法执行修复。\n", stdout);
    return tessaly::ToExitCode(tessaly::HresultFromWin32(tessaly::Win32Status::OutOfMemory));
  }
}
