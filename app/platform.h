// The seams the repair runs on, gathered where the run is assembled. Each
// stage is handed only the seams it uses.
#pragma once

namespace tessaly {

class Console;
class FileSystem;
class Host;
class OwnResources;
class Registry;
class ServicingLibrary;

struct Platform {
  Console& console;
  Host& host;
  Registry& registry;
  ServicingLibrary& servicingLibrary;
  FileSystem& files;
  OwnResources& ownResources;
};

}  // namespace tessaly
