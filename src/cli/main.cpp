#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "VirtualBridge/HostChoice.h"
#include "cli/Cli.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    v62x::HostChoice choice = v62x::ChooseHost(std::getenv("V62X_SIMULATE"));
    if (!choice.host) {
        // The command line reports the description's error itself (after
        // its own usage errors and help).
        return v62x::RunCli(args, std::cout, std::cerr);
    }
    if (!choice.note.empty()) std::cerr << "v62xfw: " << choice.note << '\n';
    int status = v62x::RunCli(args, std::cout, std::cerr, choice.host.get());
    // The program's last word: the simulated bridges' image files.
    std::string error;
    if (!v62x::SaveSimulatedStores(*choice.host, error)) {
        std::cerr << "v62xfw: " << error << '\n';
        if (status == 0) status = 1;
    }
    return status;
}
