// The process entry: the window by default, the headless front end on request.
#include <cstring>
#include <string>

#include "headless/Headless.h"
#ifdef TANDEM_HAVE_GUI
#include "gui/GuiMain.h"
#endif

int main(int argc, char** argv) {
  [[maybe_unused]] bool headless = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--headless" || a == "--help" || a == "-h") headless = true;
  }
#ifdef TANDEM_HAVE_GUI
  if (!headless) return tandem::RunGui(argc, argv);
#endif
  return tandem::RunHeadless(argc, argv);
}
