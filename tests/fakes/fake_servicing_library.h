#pragma once

#include <map>
#include <string>
#include <vector>

#include "fakes/event_log.h"
#include "servicing/servicing_hash.h"
#include "servicing/servicing_library.h"

namespace tessaly::fakes {

// Libraries that load from known paths, with scripted exports.
class FakeServicingLibrary final : public ServicingLibrary {
 public:
  using Exports = std::map<std::string, void*>;

  explicit FakeServicingLibrary(EventLog& events) : events_(events) {}

  ModuleHandle Load(const char16_t* path) override;
  void* Resolve(ModuleHandle module, const char* exportName) override;
  void Free(ModuleHandle module) override;

  void AddLibrary(std::u16string path, Exports exports);
  // The two exports of a servicing stack library that computes this hash.
  static Exports ServicingExports(const ServicingHash& hash);

  std::vector<std::u16string> loadRequests;
  std::vector<std::string> resolveRequests;
  int badHandleUses = 0;  // Resolve or Free of a module that is not loaded

  std::size_t LoadedCount() const { return loaded_.size(); }

 private:
  EventLog& events_;
  std::map<std::u16string, Exports> libraries_;
  std::map<ModuleHandle, std::u16string> loaded_;
  std::uintptr_t nextHandle_ = 0x10000;
};

}  // namespace tessaly::fakes
