// What the offline tool prints about saving, as the tests expect it.
#pragma once

#include <cstdint>
#include <string>

namespace tessaly::offline_test {

// Free space a save needs beyond what it writes.
inline constexpr std::uint64_t kSaveSpaceMargin = 1 << 20;

inline std::string NoRoomMessage(std::uint64_t needed, std::uint64_t available) {
  return "System32/config 所在的卷空间不足，无法保存修复：需要 " + std::to_string(needed) + " 字节，可用 " +
         std::to_string(available) + " 字节。请释放空间后再运行。未执行任何修复。\n";
}

inline std::string LeftoversRemovedLine(int count) {
  return "已删除上次中断的保存留下的 " + std::to_string(count) + " 个临时文件（COMPONENTS.tessaly-new*）。\n";
}

inline std::string SaveFailedMessage(const std::string& status) {
  return "COMPONENTS注册表无法保存，lStatus=" + status + "。修复未能写入，系统未作任何更改。\n";
}

// What the save says before its failure when the new hive could not be
// given the original's security and attributes.
inline constexpr char kMetadataNotKeptLine[] =
    "新的COMPONENTS无法保留原文件的所有者、权限或扩展属性（NTFS上即安全描述符、文件属性和创建时间），"
    "因此没有替换原文件。\n";

inline constexpr char kReadOnlyVolumeLine[] =
    "System32/config 所在的卷是只读挂载的：通常是因为 Windows 处于休眠状态，或开启了快速启动后关机。"
    "请启动该 Windows 并完全关机（例如按住 Shift 点“关机”），或以管理员身份运行 powercfg /h off "
    "关闭休眠和快速启动后再试。\n";

inline constexpr char kPrivilegeNotHeld[] =
    "特权提升失败 hr=0xC0000061，可能是域配置不允许提升特权 或者 其他杀毒软件干扰所致，建议你联系管理员或者反馈给我们。\n";

}  // namespace tessaly::offline_test
