// The program: reads the switches, creates the application object (with windows only
// when a display can be opened), and carries out one administrative action or runs the
// router as a service or standalone. Returns the exit status.
#pragma once

namespace vessamo::shell {

int run(int argc, char **argv);

// True when windows can be shown: a display is named and the platform is not one that
// draws nowhere.
bool displayAvailable();

} // namespace vessamo::shell
