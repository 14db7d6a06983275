// Loaded into the offline tool with LD_PRELOAD, makes every malloc, and
// every mapping, of at least TESSALY_FAIL_ALLOCATIONS_FROM bytes fail, as
// when memory runs out, so that a test can see how the tool ends then.
// malloc is what operator new asks, and the blocks it hands out are glibc's
// own; a file the tool maps instead of reading takes memory just the same.

#include <errno.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" void* __libc_malloc(size_t size);

namespace {

size_t FailingFrom() {
  // getenv allocates nothing, so it is safe inside malloc.
  static const size_t from = [] {
    const char* text = getenv("TESSALY_FAIL_ALLOCATIONS_FROM");
    return text != nullptr ? static_cast<size_t>(strtoull(text, nullptr, 10)) : static_cast<size_t>(-1);
  }();
  return from;
}

}  // namespace

extern "C" void* malloc(size_t size) {
  if (size >= FailingFrom()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(size);
}

// The system call itself, not the next mmap, which only dlsym finds, and
// dlsym may allocate.
extern "C" void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
  if (length >= FailingFrom()) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
  return reinterpret_cast<void*>(syscall(SYS_mmap, address, length, protection, flags, fd, offset));
}
