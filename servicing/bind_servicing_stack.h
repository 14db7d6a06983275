#pragma once

#include "common/status.h"
#include "servicing/servicing_hash.h"
#include "servicing/servicing_library.h"

namespace tessaly {

class Console;
class Host;
class Registry;

inline constexpr char16_t kServicingVersionKeyPath[] =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\Version";

// Finds the servicing stack directory named by the first non-empty-named
// REG_EXPAND_SZ value of the servicing Version key, loads its wcp.dll
// through library (module's own seam) into module and binds the path hash.
// On failure prints the stage's message and returns the run's exit code; a
// library that loaded stays in module, which the caller frees on its way out.
Hresult BindServicingStack(Console& console, Host& host, Registry& registry, ServicingLibrary& library,
                           UniqueModule& module, ServicingHash* hash);

}  // namespace tessaly
