// The offline programs' run, shared by the Linux tool and tessaly-offline.exe:
// the command line, the first look at the Windows directory, then the
// repair with every seam answered from the image. Each platform's main
// hands in its own image files, output streams and terminal.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/console.h"
#include "common/status.h"

namespace tessaly::offline {

class ImageFiles;
class Terminal;

struct OfflineProgram {
  // How --version names the program ("tessaly", "tessaly-offline").
  std::string_view name;
  // What --help prints, and what follows a refused command line.
  std::u16string_view usage;
  // Standard output and standard error.
  Console& output;
  Console& errors;
  // Standard error when it is a terminal, for the progress line; else nullptr.
  Terminal* terminal = nullptr;
  // The Windows directory as given on the command line (UTF-8), opened as
  // this platform's image files.
  std::function<std::unique_ptr<ImageFiles>(const std::string& windowsDirectory)> openImage;
  // The Windows directory as the engine's paths start with it: the argument
  // without trailing separators, in UTF-16; nullopt when it has no such form.
  std::function<std::optional<std::u16string>(const std::string& windowsDirectory)> engineDirectory;
};

// arguments: the program's arguments without its name, UTF-8. Returns the
// exit code: 0, the HRESULT or NTSTATUS of the run, or E_INVALIDARG for a
// command line refused.
ExitCode RunOfflineProgram(std::span<const char* const> arguments, const OfflineProgram& program);

}  // namespace tessaly::offline
