// The window front end.
#pragma once

#include "app/Demo.h"

namespace tandem {

// No arguments: opens the window. "--screenshot FILE.png": renders the window offscreen after
// one refresh and writes it. Returns the process exit status.
int RunGui(int argc, char** argv);

// The window as one peer of the demo, with its partner in this process; needs a display.
int RunGuiDemo(int argc, char** argv, DemoPorts ports);

// Whether a window can be shown: a display server is named, or Qt is told to draw offscreen.
bool DisplayAvailable();

}  // namespace tandem
