// The progress line on a pseudo-terminal, with a clock the test sets: how
// often it is drawn however many updates come, what it counts (the files
// the searches of the file seam list), and that it never wraps on a narrow
// terminal, where erasing could not take it off.

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/offline/image_tree.h"
#include "platform/offline/offline_file_system.h"
#include "platform/offline/progress_line.h"
#include "platform/posix/posix_console.h"
#include "tests/platform/offline/opened_image.h"
#include "platform/posix/unique_fd.h"
#include "tests/offline/test_image.h"
#include "tools/image/utf8.h"

namespace tessaly::offline_test {
namespace {

using namespace std::chrono_literals;
using offline::ProgressLine;
using posix::UniqueFd;

class ProgressLineTest : public testing::Test {
 protected:
  void OpenTerminal(unsigned short columns) {
    int controller = -1;
    int terminal = -1;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    ASSERT_EQ(openpty(&controller, &terminal, nullptr, nullptr, &size), 0);
    controller_.Reset(controller);
    terminal_.Reset(terminal);
    // Neither side blocks: a line drawn far too often must fail the test, not stall it.
    ASSERT_EQ(fcntl(controller, F_SETFL, O_NONBLOCK), 0);
    ASSERT_EQ(fcntl(terminal, F_SETFL, O_NONBLOCK), 0);
  }

  // Everything written to the terminal since the last call.
  std::string Written() {
    std::string bytes;
    char buffer[4096];
    for (ssize_t got; (got = read(controller_.Get(), buffer, sizeof(buffer))) > 0;) {
      bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
  }

  // The lines drawn in bytes, each "\r", its text, "\033[K".
  static std::vector<std::string> Drawn(const std::string& bytes) {
    std::vector<std::string> lines;
    for (std::size_t at = bytes.find('\r'); at != std::string::npos; at = bytes.find('\r', at + 1)) {
      const std::size_t end = bytes.find("\033[K", at);
      if (end > at + 1) lines.push_back(bytes.substr(at + 1, end - at - 1));
    }
    return lines;
  }

  ProgressLine::Clock::time_point now_{};
  UniqueFd controller_;
  UniqueFd terminal_;
};

TEST_F(ProgressLineTest, DrawsAtMostTenTimesASecondAndCountsOnlyFiles) {
  OpenTerminal(80);
  const DirectoryEntry file{u"a.dll", 0x20};
  const DirectoryEntry directory{u"res", kFileAttributeDirectory};
  const DirectoryEntry link{u"link", kFileAttributeReparsePoint};
  {
    posix::PosixTerminal terminal(terminal_.Get());
  ProgressLine line(&terminal, [this] { return now_; });
    line.ShowComponent(1, 3);
    // Just under a second of entries, one every 25 µs, one in four a file.
    for (int i = 1; i < 40000; ++i) {
      now_ += 25us;
      line.SeeEntry(i % 4 == 0 ? file : i % 4 == 1 ? directory : link);
    }
    const std::vector<std::string> drawn = Drawn(Written());
    ASSERT_EQ(drawn.size(), 10u);
    EXPECT_EQ(drawn.front(), "正在检查组件 1/3，已查看 0 个文件，用时 0:00");
    EXPECT_EQ(drawn.back(), "正在检查组件 1/3，已查看 9000 个文件，用时 0:00");

    now_ += 1h + 2min + 5s;
    line.ShowComponent(3, 3);
    EXPECT_EQ(Drawn(Written()), std::vector<std::string>{"正在检查组件 3/3，已查看 9999 个文件，用时 1:02:05"});
  }
  // Gone when the run ends, so the shell's prompt starts on a clean line.
  EXPECT_EQ(Written(), "\r\033[K");
}

TEST_F(ProgressLineTest, FitsANarrowTerminalAndErasesOnlyWhatIsShown) {
  OpenTerminal(30);
  posix::PosixTerminal terminal(terminal_.Get());
  ProgressLine line(&terminal, [this] { return now_; });
  line.Erase();
  EXPECT_EQ(Written(), "");
  line.ShowComponent(12345, 60000);
  // 28 columns: each Chinese character and the full-width comma takes two.
  EXPECT_EQ(Written(), "\r正在检查组件 12345/60000，已\033[K");
  line.Erase();
  line.Erase();
  EXPECT_EQ(Written(), "\r\033[K");
}

TEST_F(ProgressLineTest, CountsTheFilesTheSearchesList) {
  OpenTerminal(80);
  TestImage image;
  // "!" sorts before ".", so a search's first entry can be a file.
  for (const char* file : {"amd64_count/!a.dll", "amd64_count/res/b.mui", "amd64_count/res/c.mui"}) {
    image.AddFile(file, "MZ");
  }
  fs::create_directory_symlink(image.WinSxS() / "amd64_count" / "res", image.WinSxS() / "amd64_count" / "link");
  OpenedImage opened(image.WindowsDirectory().string());
  // A second passes at each look at the clock, so every update is drawn.
  posix::PosixTerminal terminal(terminal_.Get());
  ProgressLine line(&terminal, [this] { return now_ += 1s; });
  offline::OfflineFileSystem files(opened.tree, line);
  const std::u16string component =
      u"\\\\?\\" + image::Utf16FromUtf8(image.WindowsDirectory().string()) + u"\\WinSxS\\amd64_count\\";
  for (const std::u16string& directory : {component, component + u"res\\"}) {
    DirectoryEntry entry;
    const SearchHandle search = files.FindFirst((directory + u"*").c_str(), &entry);
    ASSERT_NE(search, SearchHandle::Invalid);
    while (files.FindNext(search, &entry)) {
    }
    files.FindClose(search);
  }
  const std::vector<std::string> drawn = Drawn(Written());
  ASSERT_FALSE(drawn.empty());
  EXPECT_TRUE(drawn.back().starts_with("正在检查组件 0/0，已查看 3 个文件，")) << drawn.back();
}

}  // namespace
}  // namespace tessaly::offline_test
