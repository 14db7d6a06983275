// The host seam's answers that come from the image's path alone.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/offline/image_tree.h"
#include "tests/platform/offline/opened_image.h"
#include "platform/posix/posix_console.h"
#include "platform/offline/offline_host.h"
#include "platform/offline/offline_registry.h"
#include "platform/offline/progress_line.h"

namespace tessaly::offline_test {
namespace {

// The Windows directory as GetWindowsDirectoryW gives it: the characters
// written, or the size needed (terminator included) with
// ERROR_INSUFFICIENT_BUFFER; a path that is not UTF-8 has no UTF-16 form.
TEST(OfflineHostTest, WindowsDirectoryFillsTheBufferAsWindowsDoes) {
  struct Case {
    std::string argument;
    std::uint32_t returned;
    std::u16string text;
    std::uint32_t lastError;
  };
  const std::string longest(259, 'w');
  for (const Case& c : {Case{"/mnt/win/Windows/", 16, u"/mnt/win/Windows", 0},
                        Case{longest, 259, std::u16string(259, u'w'), 0},
                        Case{longest + "w", 261, u"", 122}, Case{"/mnt/\xff/Windows", 0, u"", 1113}}) {
    OpenedImage opened(c.argument);
    offline::ImageTree& image = opened.tree;
    offline::ProgressLine progress;
    posix::PosixStreamConsole console(stdout);
    offline::OfflineRegistry registry(image, console, progress);
    offline::OfflineHost host(image, registry, console, true);
    char16_t buffer[260] = {};
    EXPECT_EQ(host.WindowsDirectory(buffer, 260), c.returned) << c.argument;
    if (c.lastError != 0) {
      EXPECT_EQ(host.LastError(), c.lastError) << c.argument;
    } else {
      EXPECT_EQ(std::u16string(buffer), c.text);
    }
  }
}

}  // namespace
}  // namespace tessaly::offline_test
