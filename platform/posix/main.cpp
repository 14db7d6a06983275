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
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/status.h"
#include "platform/offline/offline_program.h"
#include "platform/posix/posix_console.h"
#include "platform/posix/posix_image_files.h"
#include "platform/posix/usage.h"

namespace {

int Run(int argc, char** argv) {
  using namespace tessaly;
  const std::span<const char* const> arguments(argv, static_cast<std::size_t>(argc));
  const bool onTerminal = isatty(STDERR_FILENO) == 1;
  posix::PosixStreamConsole output(stdout);
  posix::PosixStreamConsole errors(stderr);
  // Output piped to a program that shows it on the same terminal (tee) must
  // get there while the progress line is off, not in a later block that lands in it.
  output.FlushEachPrint(onTerminal);
  std::optional<posix::PosixTerminal> terminal;
  if (onTerminal) terminal.emplace(STDERR_FILENO);
  const offline::OfflineProgram program{
      .name = "tessaly",
      .usage = posix::UsageText(),
      .output = output,
      .errors = errors,
      .terminal = terminal ? &*terminal : nullptr,
      .openImage = [](const std::string& windowsDirectory) -> std::unique_ptr<offline::ImageFiles> {
        return std::make_unique<posix::PosixImageFiles>(windowsDirectory);
      },
      .engineDirectory = [](const std::string& windowsDirectory) { return posix::EngineDirectory(windowsDirectory); },
  };
  return offline::RunOfflineProgram(arguments.empty() ? arguments : arguments.subspan(1), program);
}

}  // namespace

// Running out of memory is a failure like any other: said, not a silent abort.
int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    static constexpr std::string_view kOutOfMemory = "内存不足，无法执行修复。\n";
    std::fwrite(kOutOfMemory.data(), 1, kOutOfMemory.size(), stdout);
    return tessaly::ToExitCode(tessaly::HresultFromWin32(tessaly::Win32Status::OutOfMemory));
  }
}
