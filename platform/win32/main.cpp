// The Windows console program: the Win32 implementation of every seam,
// handed to the repair run. Arguments are not looked at.
#include "app/platform.h"
#include "app/run_repair.h"
#include "platform/win32/win32_console.h"
#include "platform/win32/win32_file_system.h"
#include "platform/win32/win32_host.h"
#include "platform/win32/win32_own_resources.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_servicing_library.h"

int main() {
  using namespace tessaly;
  using namespace tessaly::win32;

  Win32Console console;
  Win32Host host;
  Win32Registry registry;
  Win32ServicingLibrary servicingLibrary;
  Win32FileSystem files;
  Win32OwnResources ownResources;
  const Platform platform{console, host, registry, servicingLibrary, files, ownResources};
  return RunRepair(platform);
}
