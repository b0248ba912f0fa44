// How the progress dialog and the update engine run.
#pragma once

enum RunMode {
  ModeInstall = 0,  // first installation (started by the options dialog, not by the dispatcher)
  ModeUpdate = 1,
  ModeRepair = 2,   // repair of lost or damaged files, whatever the versions
};
