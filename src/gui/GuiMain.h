// The window front end.
#pragma once

namespace tandem {
int RunGui(int argc, char** argv);
}
