// The process entry: the window by default, the headless front end on request, and the demo in
// the window when there is a display, else headless.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "headless/Headless.h"
#include "headless/Options.h"
#ifdef TANDEM_HAVE_GUI
#include "gui/GuiMain.h"
#endif

int main(int argc, char** argv) {
#ifdef TANDEM_HAVE_GUI
  // The window takes no arguments but --screenshot; every other option is the headless side's.
  if (argc == 1 || std::string(argv[1]) == "--screenshot") return tandem::RunGui(argc, argv);
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  auto options = tandem::ParseOptions(args, error);
  bool headless = std::find(args.begin(), args.end(), "--headless") != args.end();
  if (options && options->demo && !options->help && !headless && tandem::DisplayAvailable()) {
    tandem::DemoPorts ports;
    if (options->listenPort) ports.listen = *options->listenPort;
    if (options->sendPort) ports.send = *options->sendPort;
    return tandem::RunGuiDemo(argc, argv, ports);
  }
#endif
  return tandem::RunHeadless(argc, argv);
}
