#include "store/load_components_hive.h"

#include "common/console.h"
#include "common/host.h"
#include "common/text.h"

namespace tessaly {
namespace {

constexpr std::uint32_t kPathCapacity = 260;

}  // namespace

Hresult LoadComponentsHive(Console& console, Host& host, Registry& registry, UniqueKey& componentsKey,
                           std::u16string* storeRoot) {
  char16_t windowsDirectoryBuffer[kPathCapacity] = {};
  const std::uint32_t length = host.WindowsDirectory(windowsDirectoryBuffer, kPathCapacity);
  if (length == 0 || length >= kPathCapacity) return HresultFromLastError(host);

  const std::u16string windowsDirectory = std::u16string(windowsDirectoryBuffer, length) + u"\\";
  *storeRoot = u"\\\\?\\" + windowsDirectory + u"winsxs\\";
  // A 32-bit process on 64-bit Windows sees SysWOW64 as System32; SysNative reaches the real one.
  const std::u16string hivePath =
      windowsDirectory + (host.IsWow64Process() ? u"SysNative\\config\\COMPONENTS" : u"System32\\config\\COMPONENTS");

  if (!host.FileExists(hivePath.c_str())) {
    console.Print(u"COMPONENTS注册表不存在，无法执行修复。\n");
    return Hresult::FileNotFound;
  }

  const Win32Status loaded = registry.LoadKey(kLocalMachine, u"COMPONENTS", hivePath.c_str());
  if (loaded != Win32Status::Success) {
    console.Print(u"COMPONENTS注册表无法加载，lStatus=" + FormatHex32(Bits(loaded)) + u"。无法执行修复。\n");
    return HresultFromWin32(loaded);
  }

  const Win32Status opened = registry.OpenKeyEx(kLocalMachine, kComponentListKey,
                                                kRegOptionBackupRestore, kKeyRead, componentsKey.Put());
  if (opened != Win32Status::Success) {
    console.Print(u"COMPONENTS注册表无法打开，lStatus=" + FormatHex32(Bits(opened)) + u"。无法执行修复。\n");
    componentsKey.Reset();
    return HresultFromWin32(opened);
  }
  return Hresult::Ok;
}

}  // namespace tessaly
