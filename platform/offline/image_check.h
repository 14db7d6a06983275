// The first look at WINDOWS_DIR, before the run: the folder and each folder
// and file on the tool's way through it, so that a typo, a symbolic link or
// a missing right is named as what it is, and not taken for another Windows
// version or a missing privilege further on.
#pragma once

#include "common/console.h"
#include "common/status.h"
#include "platform/offline/hive_file.h"
#include "platform/offline/image_tree.h"

namespace tessaly::offline {

// Checks that the Windows directory is not the running system's own, that
// it has a UTF-16 form and is a folder with System32\config, that the
// SOFTWARE hive there is a hive, and that none of System32, config,
// SOFTWARE, COMPONENTS and WinSxS is a symbolic link or unreadable. A
// missing COMPONENTS or WinSxS is left to the run, which has its own answer
// for them. Prints one line for the first problem found and returns its
// exit code; Hresult::Ok when there is none. The SOFTWARE hive is opened
// whole (by as many as hiveReaders threads), recovered and checked as the
// run would load it, and left open in *software for the run.
Hresult CheckWindowsDirectory(ImageTree& image, Console& console, unsigned hiveReaders, HiveFile* software);

}  // namespace tessaly::offline
