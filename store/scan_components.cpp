#include "store/scan_components.h"

#include <cstdint>

#include "records/walk_component_directory.h"
#include "registry/read_dword_value.h"
#include "registry/registry.h"

namespace tessaly {
namespace {

constexpr std::uint32_t kNameCapacity = 260;
constexpr std::uint32_t kWalkedComponentFlag = 0x200;

bool IsSelected(Registry& registry, KeyHandle componentKey) {
  std::uint32_t flags = 0;
  if (ReadDwordValue(registry, componentKey, u"CF", &flags) != Win32Status::Success ||
      (flags & kWalkedComponentFlag) == 0) {
    return false;
  }
  std::uint32_t size = 0;
  return registry.QueryValueEx(componentKey, u"DV", nullptr, nullptr, &size) != Win32Status::Success;
}

}  // namespace

RepairOutcome ScanComponents(Console& console, Registry& registry, FileSystem& files,
                             const ServicingHash& servicingHash, KeyHandle componentsKey,
                             const std::u16string& storeRoot, RepairMode mode, std::uint32_t* wrongRecords) {
  RepairOutcome outcome = 0;
  char16_t name[kNameCapacity] = {};
  // An enumeration error ends the scan like the end of the list.
  for (std::uint32_t index = 0; registry.EnumKey(componentsKey, index, name, kNameCapacity) == Win32Status::Success;
       ++index) {
    UniqueKey componentKey(registry);
    if (registry.OpenKeyEx(componentsKey, name, kRegOptionBackupRestore, kKeyReadWrite, componentKey.Put()) !=
        Win32Status::Success) {
      continue;
    }
    if (!IsSelected(registry, componentKey.Get())) continue;
    const std::u16string componentDirectory = storeRoot + name + u"\\";
    outcome |= WalkComponentDirectory(console, registry, files, servicingHash, componentKey.Get(),
                                      componentDirectory.size(), componentDirectory, mode, wrongRecords);
  }
  return outcome;
}

}  // namespace tessaly
