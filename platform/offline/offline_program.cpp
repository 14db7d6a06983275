#include "platform/offline/offline_program.h"

#include <optional>
#include <utility>

#include "app/platform.h"
#include "app/run_repair.h"
#include "app/version.h"
#include "common/text.h"
#include "platform/offline/command_line.h"
#include "platform/offline/image_check.h"
#include "platform/offline/image_files.h"
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

namespace tessaly::offline {
namespace {

ExitCode Repair(const CommandLine& commandLine, const OfflineProgram& program) {
  const std::unique_ptr<ImageFiles> files = program.openImage(commandLine.windowsDirectory);
  ProgressLine progress(program.terminal, ProgressLine::Clock::now);
  OfflineConsole console(program.output, progress);
  ImageTree image(*files, program.engineDirectory(commandLine.windowsDirectory));
  // The walk is one of the jobs; each job may also read a part of a hive,
  // and in a repair one writes the new hive while the walk goes on.
  const unsigned jobs = commandLine.jobs.value_or(DefaultJobs());
  HiveFile software;
  if (const Hresult checked = CheckWindowsDirectory(image, console, jobs, &software); checked != Hresult::Ok) {
    return ToExitCode(checked);
  }

  const RepairMode mode = commandLine.dryRun ? RepairMode::DryRun : RepairMode::Repair;
  // A dry run writes nothing, so it has no leftovers to clear and needs no room.
  HiveFile components;
  if (mode == RepairMode::Repair) {
    if (const std::optional<ExitCode> refused = PrepareToSave(image, console, jobs, &components)) return *refused;
  }
  const HiveAccess componentsAccess = mode == RepairMode::Repair ? HiveAccess::Repair : HiveAccess::Read;
  OfflineRegistry registry(image, console, progress, componentsAccess, std::move(components), std::move(software),
                           jobs);
  OfflineHost host(image, registry, console, mode == RepairMode::Repair);
  OfflineServicingLibrary servicingLibrary(image);
  // The store's path is as the engine forms it.
  std::optional<ReadAheadPlan> readAhead;
  if (jobs > 1) {
    readAhead.emplace(image, registry, u"\\\\?\\" + *image.WindowsDirectory() + u"\\winsxs\\", jobs - 1);
  }
  OfflineFileSystem fileSystem(image, progress, readAhead ? &*readAhead : nullptr);
  OfflineOwnResources ownResources;
  const Platform platform{console, host, registry, servicingLibrary, fileSystem, ownResources};
  return RunRepair(platform, mode);
}

}  // namespace

ExitCode RunOfflineProgram(std::span<const char* const> arguments, const OfflineProgram& program) {
  const CommandLine commandLine = ParseCommandLine(arguments, AsciiToUtf16(program.name));
  switch (commandLine.action) {
    case CommandLine::Action::ShowHelp:
      program.output.Print(program.usage);
      return 0;
    case CommandLine::Action::ShowVersion:
      program.output.Print(AsciiToUtf16(program.name) + u" " + AsciiToUtf16(TESSALY_VERSION_TEXT) + u"\n");
      return 0;
    case CommandLine::Action::Refuse:
      program.errors.Print(commandLine.refusal + u"\n");
      program.errors.Print(program.usage);
      return ToExitCode(HresultFromWin32(Win32Status::InvalidParameter));
    case CommandLine::Action::Run:
      break;
  }
  return Repair(commandLine, program);
}

}  // namespace tessaly::offline
