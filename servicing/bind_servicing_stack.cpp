#include "servicing/bind_servicing_stack.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/console.h"
#include "common/host.h"
#include "common/text.h"
#include "registry/registry.h"

namespace tessaly {
namespace {

constexpr std::uint32_t kNameCapacity = 260;
constexpr std::uint32_t kDataCapacity = 520;
constexpr std::uint32_t kExpandedCapacity = 260;

// Reads the data of the first accepted value. Returns false when the search
// ends without one; a failing call ends it even if it filled in a name, since
// the data of such a call cannot be trusted.
bool FindServicingDirectoryValue(Registry& registry, KeyHandle key, std::u16string* directory) {
  char16_t name[kNameCapacity] = {};
  std::uint8_t data[kDataCapacity] = {};
  std::uint32_t dataSize = kDataCapacity;
  for (std::uint32_t index = 0;; ++index) {
    std::uint32_t nameLength = kNameCapacity;
    std::uint32_t type = 0;
    if (registry.EnumValue(key, index, name, &nameLength, &type, data, &dataSize) != Win32Status::Success) {
      return false;
    }
    if (type == kRegExpandSz && name[0] != u'\0') break;
    dataSize = kDataCapacity;
    name[0] = u'\0';
  }
  // The data need not be terminated: read it up to its first NUL, never past
  // what this value delivered, so no earlier value's bytes are taken for it.
  char16_t text[kDataCapacity / sizeof(char16_t)];
  std::memcpy(text, data, sizeof(text));
  const std::size_t delivered = std::min(dataSize, kDataCapacity) / sizeof(char16_t);
  const std::size_t length = std::find(text, text + delivered, u'\0') - text;
  directory->assign(text, length);
  return true;
}

}  // namespace

Hresult BindServicingStack(Console& console, Host& host, Registry& registry, ServicingLibrary& library,
                           UniqueModule& module, ServicingHash* hash) {
  UniqueKey versionKey(registry);
  const Win32Status opened = registry.OpenKey(kLocalMachine, kServicingVersionKeyPath, versionKey.Put());
  if (opened != Win32Status::Success) {
    console.Print(u"无法获取CBS目录 lStatus=" + FormatDecimal(Bits(opened)) + u"。\n");
    return Hresult::NoInterface;
  }

  std::u16string directory;
  if (!FindServicingDirectoryValue(registry, versionKey.Get(), &directory) || directory.empty()) {
    console.Print(u"无法获取CBS目录。\n");
    return Hresult::NoInterface;
  }

  char16_t expanded[kExpandedCapacity] = {};
  const std::uint32_t needed = host.ExpandEnvironment(directory.c_str(), expanded, kExpandedCapacity);
  if (needed == 0 || needed > kExpandedCapacity) {
    console.Print(u"无法加载CBS。\n");
    return Hresult::NoInterface;
  }

  const std::u16string libraryPath = std::u16string(expanded) + u"\\wcp.dll";
  module.Reset(library.Load(libraryPath.c_str()));
  if (module.Get() == ModuleHandle::None) {
    console.Print(u"无法加载CBS。\n");
    return Hresult::NoInterface;
  }

  void* const hashEntry = library.Resolve(module.Get(), kHashExportName);
  void* const downcaseEntry = library.Resolve(module.Get(), kDowncaseExportName);
  if (hashEntry == nullptr || downcaseEntry == nullptr) {
    console.Print(u"无法加载CBS。\n");
    return Hresult::NoInterface;
  }
  hash->hash = reinterpret_cast<HashRoutine>(hashEntry);
  hash->downcase = reinterpret_cast<DowncaseRoutine>(downcaseEntry);
  return Hresult::Ok;
}

}  // namespace tessaly
