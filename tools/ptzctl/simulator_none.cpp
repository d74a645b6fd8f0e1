// Windows: the simulator's transports are POSIX-only; run ptz-sim on a
// POSIX machine (or WSL) and use --host/--port instead.
#include "simulator.h"

namespace ptzctl {

int StartSimulator() { return -1; }
void StopSimulator() {}

}  // namespace ptzctl
