// PLACEHOLDER: replaced by the real implementation.
#include "headless/Headless.h"

#include <cstdio>

namespace tandem {
int RunHeadless(int, char**) {
  std::puts("tandem: headless mode not built yet");
  return 0;
}
}  // namespace tandem
