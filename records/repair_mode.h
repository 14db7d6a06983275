#pragma once

namespace tessaly {

// What a run does with a record whose stored-form claim its file does not
// bear out.
enum class RepairMode {
  // Clears the claim and saves the hive.
  Repair,
  // Only lists the file: nothing is written.
  DryRun,
};

}  // namespace tessaly
