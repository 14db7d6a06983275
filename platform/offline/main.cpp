// tessaly WINDOWS_DIR: repairs the component store of a Windows
// installation mounted on Linux (for example one that no longer starts),
// with the same run as on Windows, every question answered from the image.
//
// The exit status is the run's code. Linux keeps only its low 8 bits: a
// completed scan exits with 0, a failure with the low byte of its HRESULT or
// NTSTATUS (0x80004001 -> 0x01, 0x80070020 -> 0x20, 0xC0000061 -> 0x61), and
// a wrong command line with 0x57, from 0x80070057 (E_INVALIDARG).

#include "app/run_repair.h"
#include "common/platform.h"
#include "platform/offline/image_tree.h"
#include "platform/offline/offline_console.h"
#include "platform/offline/offline_file_system.h"
#include "platform/offline/offline_host.h"
#include "platform/offline/offline_own_resources.h"
#include "platform/offline/offline_registry.h"
#include "platform/offline/offline_servicing_library.h"
#include "platform/offline/prepare_save.h"

int main(int argc, char** argv) {
  using namespace tessaly;
  using namespace tessaly::offline;

  OfflineConsole console;
  if (argc != 2) {
    console.Print(u"用法：tessaly <Windows目录>，例如 tessaly /mnt/win/Windows\n");
    return ToExitCode(HresultFromWin32(Win32Status::InvalidParameter));
  }

  ImageTree image(argv[1]);
  if (const std::optional<ExitCode> refused = PrepareToSave(image, console)) return *refused;
  OfflineRegistry registry(image);
  OfflineHost host(image, registry, console);
  OfflineServicingLibrary servicingLibrary(image);
  OfflineFileSystem files(image);
  OfflineOwnResources ownResources;
  const Platform platform{console, host, registry, servicingLibrary, files, ownResources};
  return RunRepair(platform);
}
