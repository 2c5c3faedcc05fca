// Which host the programs run on: the real Linux host, or the simulated
// bridges of V62X_SIMULATE (and the default simulation when the machine has
// no USB or IEEE 1394 disk at all).
#pragma once

#include <memory>
#include <string>

#include "IDEAccess/Host.h"

namespace v62x {

struct HostChoice {
    std::unique_ptr<Host> host;  // null when the description could not be read
    bool simulated = false;
    std::string note;   // for the user, when the choice was made for them
    std::string error;  // why there is no host
};

// simulateEnv is the value of V62X_SIMULATE (may be null):
//   "off"             the Linux host;
//   other non-empty   a simulated host with the described devices;
//   null or empty     the Linux host when it lists a disk or CD-ROM-class
//                     candidate, else the default simulation with a note.
HostChoice ChooseHost(const char* simulateEnv);

// What a program does last with its host: a simulated host writes back the
// image files of the stores it changed (SimulatedHost::SaveImages). False
// with the reason when a store could not be saved; the program then fails.
// Any other host has nothing to save.
bool SaveSimulatedStores(Host& host, std::string& error);

}  // namespace v62x
