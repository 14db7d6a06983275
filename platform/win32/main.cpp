// The Windows console program: the Win32 implementation of every seam,
// handed to the repair run. Arguments are not looked at.
#include "app/run_repair.h"
#include "platform/win32/win32_console.h"
#include "platform/win32/win32_file_system.h"
#include "platform/win32/win32_host.h"
#include "platform/win32/win32_own_resources.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_servicing_library.h"

int main() {
  tessaly::Win32Console console;
  tessaly::Win32Host host;
  tessaly::Win32Registry registry;
  tessaly::Win32ServicingLibrary servicingLibrary;
  tessaly::Win32FileSystem files;
  tessaly::Win32OwnResources ownResources;
  const tessaly::Platform platform{console, host, registry, servicingLibrary, files, ownResources};
  return tessaly::RunRepair(platform);
}
