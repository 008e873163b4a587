// The window front-end of tarvik-host.
#pragma once

#include "ui/host_options.h"

namespace tarvik {

// Runs the main window; the process ends through Exit (status 0). Returns only if the window's
// event loop ends some other way. Besides the toolkit's own options it takes
// --screenshot=FILE: save a picture of the window shortly after start and end (status 1 when the
// picture could not be written); --screenshot-view=log shows the Log page in front,
// --screenshot-view=properties pictures the Properties dialog instead, and
// --screenshot-view=download:FILE the Download page during a normal download of FILE;
// --screenshot-delay=MS takes the picture later than usual.
int RunQtWindow(int argc, char** argv, const HostOptions& options);

}  // namespace tarvik
