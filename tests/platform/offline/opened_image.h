// A Windows directory on disk opened as the Linux tool opens it: its image
// files, and the tree the run resolves its paths in.
#pragma once

#include <string>

#include "platform/offline/image_tree.h"
#include "platform/posix/posix_image_files.h"

namespace tessaly::offline_test {

struct OpenedImage {
  explicit OpenedImage(const std::string& windowsDirectory)
      : files(windowsDirectory), tree(files, posix::EngineDirectory(windowsDirectory)) {}

  posix::PosixImageFiles files;
  offline::ImageTree tree;
};

}  // namespace tessaly::offline_test
