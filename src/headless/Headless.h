// The command-line front end: the same state model and threads, with no window.
#pragma once

namespace tandem {
int RunHeadless(int argc, char** argv);
}
