// Which host the two programs (the window and v62xfw) run on: the real
// Linux host, unless simulated bridges are asked for. The choice belongs to
// the programs; the device unit and the simulator know nothing of it.
#pragma once

#include <memory>
#include <string>

#include "IDEAccess/Host.h"

namespace v62x {

struct HostChoice {
    std::unique_ptr<Host> host;  // null when the description could not be read
    bool simulated = false;
    std::string error;  // why there is no host
};

// simulateEnv is the value of V62X_SIMULATE (or of v62xfw's --simulate):
//   null, empty or "off"  the Linux host (simulation only when asked);
//   anything else         a simulated host with the described devices.
HostChoice ChooseHost(const char* simulateEnv);

// What a program does last with its host: a simulated host writes back the
// image files of the stores it changed (SimulatedHost::SaveImages). False
// with the reason when a store could not be saved; the program then fails.
// Any other host has nothing to save.
bool SaveSimulatedStores(Host& host, std::string& error);

}  // namespace v62x
