// The seams the repair runs on, gathered for the run.
#pragma once

#include "app/own_resources.h"
#include "common/console.h"
#include "common/host.h"
#include "records/file_system.h"
#include "registry/registry.h"
#include "servicing/servicing_library.h"

namespace tessaly {

struct Platform {
  Console& console;
  Host& host;
  Registry& registry;
  ServicingLibrary& servicingLibrary;
  FileSystem& files;
  OwnResources& ownResources;
};

}  // namespace tessaly
