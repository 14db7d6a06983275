#include "fakes/working_system.h"

#include "servicing/native_path_hash.h"

namespace tessaly::fakes {

FakeKey& InstallWorkingSystem(FakePlatform& fakes) {
  fakes.host.osVersion = {10, 0};
  fakes.host.windowsDirectory = kWindowsDirectory;
  fakes.host.environment[u"SystemRoot"] = kWindowsDirectory;
  fakes.host.existingFiles.insert(kHivePath);

  ServicingVersionKey(fakes).SetString(kServicingStackValueName, kRegExpandSz, kServicingStackValue);
  fakes.servicingLibrary.AddLibrary(kWcpPath, FakeServicingLibrary::ServicingExports(NativeServicingHash()));

  return fakes.registry.AddHiveFile(kHivePath).Subkey(u"DerivedData\\Components");
}

FakeKey& ServicingVersionKey(FakePlatform& fakes) {
  return fakes.registry.LocalMachine().Subkey(
      u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\Version");
}

FakeKey& AddSelectedComponent(FakeKey& componentsList, std::u16string_view name) {
  return componentsList.Subkey(name).SetDword(u"CF", 0x200);
}

std::u16string AddComponentFile(FakePlatform& fakes, const FakeKey& component, std::u16string_view relativePath,
                                std::string_view content) {
  const std::u16string path = kStoreRoot + component.Name() + u"\\" + std::u16string(relativePath);
  fakes.files.AddFile(path, content);
  return path;
}

}  // namespace tessaly::fakes
