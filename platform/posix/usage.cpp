#include "platform/posix/usage.h"

namespace tessaly::posix {

std::u16string_view UsageText() {
  return u"用法：tessaly [--dry-run|-n] [--jobs|-j N] WINDOWS_DIR\n"
         u"修复挂载在 Linux 上的 Windows 10 组件存储：清除 COMPONENTS 注册表中与文件不符的存储格式标记。\n"
         u"  WINDOWS_DIR    Windows 目录，例如 /mnt/win/Windows\n"
         u"  -n, --dry-run  试运行：列出需要修复的文件，不修改任何文件\n"
         u"  -j, --jobs N   共用 N 个线程，其中 N-1 个提前读取目录（默认：可用的 CPU 数，最多 8）；\n"
         u"                 1 表示逐个读取，不另开线程\n"
         u"  -h, --help     显示本帮助并退出\n"
         u"      --version  显示版本并退出\n"
         u"标准错误输出为终端时，在其上用一行显示进度：已检查的组件数和总数、已查看的文件数、用时。\n"
         u"\n"
         u"Usage: tessaly [--dry-run|-n] [--jobs|-j N] WINDOWS_DIR\n"
         u"Repairs the component store of a Windows 10 installation mounted on Linux: clears the stored-form\n"
         u"claims in its COMPONENTS hive that the files do not bear out.\n"
         u"  WINDOWS_DIR    the Windows folder, for example /mnt/win/Windows\n"
         u"  -n, --dry-run  list the files a repair would fix; change nothing\n"
         u"  -j, --jobs N   use N threads, N-1 of them reading directories ahead (default: the CPUs\n"
         u"                 available, at most 8); 1 reads them in turn, without other threads\n"
         u"  -h, --help     print this help and exit\n"
         u"      --version  print the version and exit\n"
         u"When standard error is a terminal, one line there shows the progress: components checked of the\n"
         u"total, files seen, time taken.\n";
}

}  // namespace tessaly::posix
