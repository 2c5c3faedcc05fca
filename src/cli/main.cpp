#include <iostream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "cli/RunCommand.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const v62x::Terminal terminal = v62x::ProcessTerminal();
    return v62x::RunCli(args, std::cout, std::cerr, nullptr, &terminal);
}
