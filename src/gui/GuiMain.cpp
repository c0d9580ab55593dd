// PLACEHOLDER: replaced by the real implementation.
#include "gui/GuiMain.h"

#include <cstdio>

namespace tandem {
int RunGui(int, char**) {
  std::puts("tandem: window not built yet");
  return 1;
}
}  // namespace tandem
