#include "ntfs_volume.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <signal.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <vector>

namespace tessaly::offline_test {
namespace {

namespace fs = std::filesystem;

constexpr long kFuseSuperMagic = 0x65735546;

// Starts a program found on PATH, its output discarded. Returns its process ID, or -1.
pid_t StartQuietly(std::vector<std::string> arguments) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return child;
}

// The exit status of a child, or -1.
int WaitFor(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunQuietly(std::vector<std::string> arguments) {
  const pid_t child = StartQuietly(std::move(arguments));
  return child < 0 ? -1 : WaitFor(child);
}

bool OnPath(const std::string& program) {
  return RunQuietly({"sh", "-c", "command -v " + program}) == 0;
}

}  // namespace

std::string NtfsVolume::WhyUnavailable() {
  if (geteuid() != 0) return "mounting with ntfs-3g needs root";
  const int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fuse < 0) return "/dev/fuse cannot be opened";
  close(fuse);
  for (const char* program : {"mkntfs", "ntfs-3g"}) {
    if (!OnPath(program)) return std::string(program) + " is not installed (scripts/setup.sh installs ntfs-3g)";
  }
  return "";
}

NtfsVolume::NtfsVolume(fs::path imageFile, fs::path mountPoint, std::uint64_t size)
    : imageFile_(std::move(imageFile)), mountPoint_(std::move(mountPoint)) {
  const int file = open(imageFile_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (file < 0 || ftruncate(file, static_cast<off_t>(size)) != 0) {
    if (file >= 0) close(file);
    throw std::runtime_error("cannot make the volume file " + imageFile_.string());
  }
  close(file);
  // -Q: quick (no zeroing), -F: a file, not a device, -f: no bad-sector scan.
  if (RunQuietly({"mkntfs", "-F", "-Q", "-f", imageFile_.string()}) != 0) {
    throw std::runtime_error("mkntfs failed on " + imageFile_.string());
  }
  Mount(false);
}

NtfsVolume::~NtfsVolume() { Unmount(); }

// The driver stays in the foreground, so that unmounting can wait until it
// has written everything back and exited.
void NtfsVolume::Mount(bool readOnly) {
  driver_ = StartQuietly({"ntfs-3g", "-o", readOnly ? "no_detach,ro" : "no_detach", imageFile_.string(),
                          mountPoint_.string()});
  if (driver_ < 0) throw std::runtime_error("cannot start ntfs-3g");
  for (int tries = 0; tries < 1000; ++tries) {
    struct statfs mounted {};
    if (statfs(mountPoint_.c_str(), &mounted) == 0 && mounted.f_type == kFuseSuperMagic) return;
    if (waitpid(driver_, nullptr, WNOHANG) == driver_) {
      driver_ = -1;
      break;
    }
    usleep(10000);
  }
  Unmount();
  throw std::runtime_error("ntfs-3g cannot mount " + imageFile_.string());
}

void NtfsVolume::Unmount() {
  if (driver_ < 0) return;
  // The driver writes everything back and exits once its mount is gone.
  if (umount2(mountPoint_.c_str(), 0) != 0 && umount2(mountPoint_.c_str(), MNT_DETACH) != 0) kill(driver_, SIGTERM);
  WaitFor(driver_);
  driver_ = -1;
}

void NtfsVolume::Remount(bool readOnly) {
  Unmount();
  Mount(readOnly);
}

std::uint64_t NtfsVolume::FreeBytes() const {
  struct statvfs volume {};
  if (statvfs(mountPoint_.c_str(), &volume) != 0) throw std::runtime_error("statvfs failed");
  return static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
}

}  // namespace tessaly::offline_test
