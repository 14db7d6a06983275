// tessaly-offline.exe [--dry-run|-n] [--jobs|-j N] WINDOWS_DIR: repairs the
// component store of a Windows installation that is not the one running
// (in Windows PE, the broken installation's D:\Windows), with the same run
// as the Linux tool, every question answered from the image.
//
// The exit code is the run's: 0, its HRESULT or NTSTATUS, 0x80070057
// (E_INVALIDARG) for a command line refused, 0x8007000E when memory ran out.

#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "common/utf_conversion.h"
#include "platform/offline/image_files.h"
#include "platform/offline/offline_program.h"
#include "platform/offline/progress_line.h"
#include "platform/win32/wide_text.h"
#include "platform/win32/win32_image_files.h"
#include "platform/win32/win32_offline_console.h"

namespace {

using namespace tessaly;
using namespace tessaly::win32;

constexpr std::u16string_view kUsage =
    u"用法：tessaly-offline.exe [--dry-run|-n] [--jobs|-j N] WINDOWS_DIR\n"
    u"修复另一个 Windows 10 安装（例如在 Windows PE 中修复无法启动的系统）的组件存储：\n"
    u"清除 COMPONENTS 注册表中与文件不符的存储格式标记。修复正在运行的 Windows 请用 tessaly.exe。\n"
    u"  WINDOWS_DIR    该安装的 Windows 目录，例如 D:\\Windows\n"
    u"  -n, --dry-run  试运行：列出需要修复的文件，不修改任何文件\n"
    u"  -j, --jobs N   共用 N 个线程，其中 N-1 个提前读取目录（默认：可用的 CPU 数，最多 8）；\n"
    u"                 1 表示逐个读取，不另开线程\n"
    u"  -h, --help     显示本帮助并退出\n"
    u"      --version  显示版本并退出\n"
    u"标准错误输出为控制台时，在其上用一行显示进度：已检查的组件数和总数、已查看的文件数、用时。\n"
    u"输出重定向到文件或管道时，以 UTF-8 编码写出。\n"
    u"\n"
    u"Usage: tessaly-offline.exe [--dry-run|-n] [--jobs|-j N] WINDOWS_DIR\n"
    u"Repairs the component store of a Windows 10 installation other than the running one (for example,\n"
    u"from Windows PE, one that no longer starts): clears the stored-form claims in its COMPONENTS hive\n"
    u"that the files do not bear out. For the running Windows, use tessaly.exe.\n"
    u"  WINDOWS_DIR    the installation's Windows folder, for example D:\\Windows\n"
    u"  -n, --dry-run  list the files a repair would fix; change nothing\n"
    u"  -j, --jobs N   use N threads, N-1 of them reading directories ahead (default: the CPUs\n"
    u"                 available, at most 8); 1 reads them in turn, without other threads\n"
    u"  -h, --help     print this help and exit\n"
    u"      --version  print the version and exit\n"
    u"When standard error is a console, one line there shows the progress: components checked of the\n"
    u"total, files seen, time taken.\n"
    u"Output redirected to a file or a pipe is written as UTF-8.\n";

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// The directory the engine's paths start with; it appends "\winsxs" and
// the like. A drive's root ("D:\") therefore becomes "D:", which those
// paths then name correctly ("D:\winsxs").
std::optional<std::u16string> EngineDirectory(const std::string& windowsDirectory) {
  std::optional<std::u16string> directory = Utf16FromUtf8(windowsDirectory);
  if (!directory) return std::nullopt;
  while (!directory->empty() && IsSeparator(directory->back())) directory->pop_back();
  if (directory->empty()) return std::nullopt;
  return directory;
}

int Run(int argc, wchar_t** argv, Win32StreamConsole& output) {
  Win32StreamConsole errors(StandardStream::Error);

  // The shared run reads UTF-8; Windows hands over UTF-16, in which a name
  // may hold a surrogate without its pair that no UTF-8 can carry.
  std::vector<std::string> arguments;
  for (int index = 1; index < argc; ++index) {
    std::optional<std::string> argument = Utf8FromUtf16(AsUtf16(argv[index]));
    if (!argument) {
      errors.Print(
          u"tessaly-offline：参数不是有效的 UTF-16 文本（含有不成对的代理项）/ "
          u"an argument is not valid UTF-16 (it holds an unpaired surrogate)\n");
      errors.Print(kUsage);
      return ToExitCode(HresultFromWin32(Win32Status::InvalidParameter));
    }
    arguments.push_back(std::move(*argument));
  }
  std::vector<const char*> pointers;
  pointers.reserve(arguments.size());
  for (const std::string& argument : arguments) pointers.push_back(argument.c_str());

  std::optional<Win32ConsoleTerminal> terminal;
  if (errors.IsConsole()) terminal.emplace(StandardStream::Error);

  const offline::OfflineProgram program{
      .name = "tessaly-offline",
      .usage = kUsage,
      .output = output,
      .errors = errors,
      .terminal = terminal ? &*terminal : nullptr,
      .openImage = [](const std::string& windowsDirectory) -> std::unique_ptr<offline::ImageFiles> {
        return std::make_unique<Win32ImageFiles>(Utf16FromUtf8(windowsDirectory).value_or(std::u16string()));
      },
      .engineDirectory = EngineDirectory,
  };
  return offline::RunOfflineProgram(std::span<const char* const>(pointers), program);
}

}  // namespace

// Running out of memory is a failure like any other: said, not a silent abort.
int wmain(int argc, wchar_t** argv) {
  Win32StreamConsole output(StandardStream::Output);
  try {
    return Run(argc, argv, output);
  } catch (const std::bad_alloc&) {
    output.Print(u"内存不足，无法执行修复。\n");
    return ToExitCode(HresultFromWin32(Win32Status::OutOfMemory));
  }
}
