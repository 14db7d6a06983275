// Loaded into the offline tool with LD_PRELOAD, makes every malloc, and
// every mapping, of at least TESSALY_FAIL_ALLOCATIONS_FROM bytes fail, as
// when memory runs out, so that a test can see how the tool ends then.
// malloc is what operator new asks, and the blocks it hands out are glibc's
// own; a file the tool maps instead of reading takes memory just the same.

#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/mman.h>

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

extern "C" void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
  if (length >= FailingFrom()) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
  using Mmap = void* (*)(void*, size_t, int, int, int, off_t);
  static const auto real = reinterpret_cast<Mmap>(dlsym(RTLD_NEXT, "mmap"));
  return real(address, length, protection, flags, fd, offset);
}
