// The window front end.
#pragma once

namespace tandem {

// No arguments: opens the window. "--screenshot FILE.png": renders the window offscreen after
// one refresh and writes it. Returns the process exit status.
int RunGui(int argc, char** argv);

// Whether a window can be shown: a display server is named, or Qt is told to draw offscreen.
bool DisplayAvailable();

}  // namespace tandem
