#include "app/run_repair.h"

#include <string>

#include "app/own_resources.h"
#include "app/read_own_file_version.h"
#include "app/support_contact.h"
#include "common/console.h"
#include "common/host.h"
#include "common/text.h"
#include "records/file_system.h"
#include "registry/registry.h"
#include "servicing/bind_servicing_stack.h"
#include "servicing/servicing_library.h"
#include "store/load_components_hive.h"
#include "store/scan_components.h"

namespace tessaly {
namespace {

void PrintBanner(Console& console, OwnResources& resources, Host& host) {
  FileVersion version;
  ReadOwnFileVersion(resources, host, &version);
  const auto part = [](std::uint32_t half, int shift) { return FormatDecimal((half >> shift) & 0xFFFF); };
  console.Print(u"\nTessaly\n版本：" + part(version.mostSignificant, 16) + u"." + part(version.mostSignificant, 0) +
                u"." + part(version.leastSignificant, 16) + u"." + part(version.leastSignificant, 0) + u"\n\n");
}

bool IsWindows10(Host& host) {
  const OsVersion version = host.OperatingSystemVersion();
  return version.major == 10 && version.minor == 0;
}

// Enables the backup and restore privileges for the process; they stay
// enabled when the tool ends. Stops at the first refusal.
NtStatus EnablePrivileges(Host& host) {
  for (const std::uint32_t privilege : {kSeBackupPrivilege, kSeRestorePrivilege}) {
    bool wasEnabled = false;
    const NtStatus status = host.AdjustPrivilege(privilege, true, false, &wasEnabled);
    if (status != NtStatus::Success) return status;
  }
  return NtStatus::Success;
}

std::u16string ClosingSummary(RepairOutcome outcome) {
  const char16_t* text = u"没有发现任何问题，程序不会对系统进行任何更改！如有疑问，请反馈到 QQ群：";
  if ((outcome & kRewriteFailed) != 0) {
    text = u"修复完成，但是遇到一些问题，如有疑问，请反馈到 QQ群：";
  } else if ((outcome & kRecordRewritten) != 0) {
    text = u"修复完成！请确认相关问题是否已经修复。如有疑问，请反馈到 QQ群：";
  }
  return text + std::u16string(kSupportGroupNumber) + u"\n";
}

std::u16string DryRunSummary(std::uint32_t wrongRecords) {
  return u"试运行：发现 " + FormatDecimal(wrongRecords) + u" 处异常，未作任何更改。\n";
}

}  // namespace

ExitCode RunRepair(const Platform& platform, RepairMode mode) {
  Console& console = platform.console;
  console.SelectLocale(".936");
  PrintBanner(console, platform.ownResources, platform.host);

  if (!IsWindows10(platform.host)) {
    console.Print(u"程序仅支持Windows 10以及对应的服务器版本，暂时不支持其他系统！\n");
    return ToExitCode(Hresult::NotImplemented);
  }

  const NtStatus privileges = EnablePrivileges(platform.host);
  if (privileges != NtStatus::Success) {
    console.Print(u"特权提升失败 hr=" + FormatHex32(Bits(privileges)) +
                  u"，可能是域配置不允许提升特权 或者 其他杀毒软件干扰所致，建议你联系管理员或者反馈给我们。\n");
    return ToExitCode(privileges);
  }

  // Declared before the components key, so the library is freed last, after every message.
  UniqueModule servicingModule(platform.servicingLibrary);
  ServicingHash servicingHash;
  if (const Hresult bound = BindServicingStack(console, platform.host, platform.registry, platform.servicingLibrary,
                                               servicingModule, &servicingHash);
      bound != Hresult::Ok) {
    return ToExitCode(bound);
  }

  UniqueKey componentsKey(platform.registry);
  std::u16string storeRoot;
  if (const Hresult loaded = LoadComponentsHive(console, platform.host, platform.registry, componentsKey, &storeRoot);
      loaded != Hresult::Ok) {
    return ToExitCode(loaded);
  }

  std::uint32_t wrongRecords = 0;
  const RepairOutcome outcome = ScanComponents(console, platform.registry, platform.files, servicingHash,
                                               componentsKey.Get(), storeRoot, mode, &wrongRecords);
  if (mode == RepairMode::DryRun) {
    console.Print(DryRunSummary(wrongRecords));
    componentsKey.Reset();
    return 0;
  }

  const Win32Status committed = platform.registry.CommitLoadedHive(kLocalMachine, u"COMPONENTS");
  if (committed != Win32Status::Success) {
    const char16_t* const consequence = committed == Win32Status::CantWrite
                                            ? u"。修复未能完整写入，请按上面的说明恢复COMPONENTS。\n"
                                            : u"。修复未能写入，系统未作任何更改。\n";
    console.Print(u"COMPONENTS注册表无法保存，lStatus=" + FormatHex32(Bits(committed)) + consequence);
    return ToExitCode(HresultFromWin32(committed));
  }

  console.Print(ClosingSummary(outcome));
  componentsKey.Reset();
  return 0;
}

}  // namespace tessaly
