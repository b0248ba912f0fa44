// The headless backend: no display. It echoes what the dialogs show to standard error, lets a person at
// a terminal answer there, and ends a process whose dialog waits for nobody.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "gui/backend.h"

namespace gui {

struct HeadlessOptions {
  bool echo = true;         // every dialog, message box and text change on standard error
  bool interactive = false; // read answers from standard input (a terminal)
  // With nobody to answer: a shown window on which nothing changed for this long ends the process
  // (0: never). VODA_UI_IDLE_SECONDS, 30 s by default.
  int idleMs = 0;
  // Called instead of ending the process (tests); receives the report.
  std::function<void(const std::string&)> onIdle;
};

// The options the environment asks for: echo on, interactive when standard input is a terminal and no
// script runs, the idle limit from VODA_UI_IDLE_SECONDS otherwise.
HeadlessOptions HeadlessOptionsFromEnvironment();

std::unique_ptr<Backend> CreateHeadlessBackend(const HeadlessOptions& options);

}  // namespace gui
