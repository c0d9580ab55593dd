// The process entry: the window by default, the headless front end on request.
#include <cstring>
#include <string>

#include "headless/Headless.h"
#ifdef TANDEM_HAVE_GUI
#include "gui/GuiMain.h"
#endif

int main(int argc, char** argv) {
#ifdef TANDEM_HAVE_GUI
  // The window takes no arguments but --screenshot; every other option is the headless side's.
  if (argc == 1 || std::string(argv[1]) == "--screenshot") return tandem::RunGui(argc, argv);
#endif
  return tandem::RunHeadless(argc, argv);
}
