// The simulated head behind `ptzctl --sim`: served on loopback in this
// process where the simulator's transports exist (POSIX), absent elsewhere.
#pragma once

namespace ptzctl {

// Starts the simulated head on 127.0.0.1; its port, or -1 where there is none.
int StartSimulator();
void StopSimulator();

}  // namespace ptzctl
