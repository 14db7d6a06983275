// Loaded into the offline tool with LD_PRELOAD, makes chosen calls fail the
// way file systems and crashes make them fail, where a test cannot bring
// that about for real: a rename that takes effect but reports an error, a
// write that takes no bytes, a kill in the middle of a write.
//
// TESSALY_FAULTS holds rules separated by ';', each "call@path-part=action":
// the rule applies to calls on a path containing path-part (for write,
// fsync, fsetxattr and fstatvfs the file's path; for madvise the advice,
// of which only MADV_POPULATE_READ is named; for renameat, renameat2
// and linkat the new name; for openat the name opened). Actions:
//   EIO, EPERM, ENOSPC, EOPNOTSUPP, EINVAL  fail with that errno, doing nothing
//   after-EIO   do it, then report EIO
//   skip        do nothing, report success
//   zero        (write) take no bytes
//   kill        (write) write half the bytes, then SIGKILL the process
//   plenty      (fstatvfs) report a terabyte free
//   replace-first  (flock) before the first lock on the file, put the
//               file "<path>.replacement" in its place under its name, as
//               another program might between an open and a lock
//   remove      (openat) delete the file just before it is opened, as
//               another program might between a listing and an open

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

struct Rule {
  std::string call;
  std::string pathPart;
  std::string action;
};

std::vector<Rule> ParseRules(const char* text) {
  std::vector<Rule> rules;
  std::string_view rest = text != nullptr ? text : "";
  while (!rest.empty()) {
    const std::size_t end = rest.find(';');
    const std::string_view rule = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    const std::size_t at = rule.find('@');
    const std::size_t equals = rule.find('=');
    if (at == std::string_view::npos || equals == std::string_view::npos || equals < at) abort();
    rules.push_back(Rule{std::string(rule.substr(0, at)), std::string(rule.substr(at + 1, equals - at - 1)),
                         std::string(rule.substr(equals + 1))});
  }
  return rules;
}

const std::vector<Rule>& Rules() {
  static const std::vector<Rule> rules = ParseRules(getenv("TESSALY_FAULTS"));
  return rules;
}

std::string PathOf(int fd) {
  char path[4096];
  const ssize_t length = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof(path));
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

const Rule* FindRule(std::string_view call, const std::string& path) {
  for (const Rule& rule : Rules()) {
    if (rule.call == call && path.find(rule.pathPart) != std::string::npos) return &rule;
  }
  return nullptr;
}

// The errno an action names; 0 for the other actions.
int ErrnoOf(const std::string& action) {
  if (action == "EIO") return EIO;
  if (action == "EPERM") return EPERM;
  if (action == "ENOSPC") return ENOSPC;
  if (action == "EOPNOTSUPP") return EOPNOTSUPP;
  if (action == "EINVAL") return EINVAL;
  return 0;
}

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// Applies a rule's failure or lie around the real call. Returns the call's result.
template <typename Call>
int Apply(const Rule* rule, Call call) {
  if (rule == nullptr) return call();
  if (const int error = ErrnoOf(rule->action); error != 0) {
    errno = error;
    return -1;
  }
  if (rule->action == "skip") return 0;
  if (rule->action == "after-EIO") {
    call();
    errno = EIO;
    return -1;
  }
  return call();
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* data, size_t size) {
  static const auto next = Next<ssize_t (*)(int, const void*, size_t)>("write");
  // Standard output and error are the test's to read.
  const Rule* rule = fd > STDERR_FILENO && size > 0 ? FindRule("write", PathOf(fd)) : nullptr;
  if (rule == nullptr) return next(fd, data, size);
  if (rule->action == "zero") {
    // A caller that repeats a write that takes nothing would never stop.
    static int zeroWrites = 0;
    if (++zeroWrites > 10000) raise(SIGKILL);
    return 0;
  }
  if (rule->action == "kill") {
    next(fd, data, size / 2);
    raise(SIGKILL);
  }
  errno = ErrnoOf(rule->action);
  return -1;
}

int madvise(void* address, size_t length, int advice) {
  static const auto next = Next<int (*)(void*, size_t, int)>("madvise");
  const Rule* rule = advice == MADV_POPULATE_READ ? FindRule("madvise", "MADV_POPULATE_READ") : nullptr;
  return Apply(rule, [&] { return next(address, length, advice); });
}

int fsync(int fd) {
  static const auto next = Next<int (*)(int)>("fsync");
  return Apply(FindRule("fsync", PathOf(fd)), [&] { return next(fd); });
}

int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
  static const auto next = Next<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr");
  return Apply(FindRule("fsetxattr", PathOf(fd)), [&] { return next(fd, name, value, size, flags); });
}

int renameat(int oldDirectory, const char* oldName, int newDirectory, const char* newName) {
  static const auto next = Next<int (*)(int, const char*, int, const char*)>("renameat");
  return Apply(FindRule("renameat", newName), [&] { return next(oldDirectory, oldName, newDirectory, newName); });
}

int renameat2(int oldDirectory, const char* oldName, int newDirectory, const char* newName, unsigned int flags) {
  static const auto next = Next<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2");
  return Apply(FindRule("renameat2", newName),
               [&] { return next(oldDirectory, oldName, newDirectory, newName, flags); });
}

int linkat(int oldDirectory, const char* oldName, int newDirectory, const char* newName, int flags) {
  static const auto next = Next<int (*)(int, const char*, int, const char*, int)>("linkat");
  return Apply(FindRule("linkat", newName), [&] { return next(oldDirectory, oldName, newDirectory, newName, flags); });
}

int flock(int fd, int operation) {
  static const auto next = Next<int (*)(int, int)>("flock");
  static const auto rename = Next<int (*)(const char*, const char*)>("rename");
  static int locks = 0;
  const std::string path = PathOf(fd);
  if (const Rule* rule = FindRule("flock", path); rule != nullptr && rule->action == "replace-first" && ++locks == 1) {
    rename((path + ".replacement").c_str(), path.c_str());
  }
  return next(fd, operation);
}

int fstatvfs(int fd, struct statvfs* volume) {
  static const auto next = Next<int (*)(int, struct statvfs*)>("fstatvfs");
  const int result = next(fd, volume);
  if (const Rule* rule = FindRule("fstatvfs", PathOf(fd)); result == 0 && rule != nullptr && rule->action == "plenty") {
    volume->f_bavail = volume->f_bfree = (1ULL << 40) / volume->f_frsize;
  }
  return result;
}

int openat(int directory, const char* name, int flags, ...) {
  static const auto next = Next<int (*)(int, const char*, int, ...)>("openat");
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list arguments;
    va_start(arguments, flags);
    mode = va_arg(arguments, mode_t);
    va_end(arguments);
  }
  if (const Rule* rule = FindRule("openat", name); rule != nullptr && rule->action == "remove") {
    unlinkat(directory, name, 0);
  }
  return next(directory, name, flags, mode);
}

}  // extern "C"
