// Every seam faked, wired into one Platform, with the check that a run left
// nothing open behind it.
#pragma once

#include "app/platform.h"
#include "fakes/event_log.h"
#include "fakes/fake_console.h"
#include "fakes/fake_file_system.h"
#include "fakes/fake_host.h"
#include "fakes/fake_own_resources.h"
#include "fakes/fake_registry.h"
#include "fakes/fake_servicing_library.h"

namespace tessaly::fakes {

struct FakePlatform {
  EventLog events;
  FakeConsole console{events};
  FakeHost host{events};
  FakeRegistry registry{events};
  FakeServicingLibrary servicingLibrary{events};
  FakeFileSystem files{events};
  FakeOwnResources ownResources;

  Platform Seams() { return {console, host, registry, servicingLibrary, files, ownResources}; }
};

// Every key, module, search and file that was opened has been closed exactly
// once, and no call used a handle that was not open. The mounted hive is not
// a handle: it stays loaded by design.
void ExpectEverythingReleased(const FakePlatform& fakes);

}  // namespace tessaly::fakes
