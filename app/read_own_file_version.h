#pragma once

#include "app/own_resources.h"
#include "common/host.h"
#include "common/status.h"

namespace tessaly {

// Reads the file version from the executable's own version resource. On
// failure returns the failure code and leaves version untouched.
Hresult ReadOwnFileVersion(OwnResources& resources, Host& host, FileVersion* version);

}  // namespace tessaly
