// qtx-eventdb: prepares event databases for the engine from the command line.
#include <iostream>

#include "eventdb/EventDbTool.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return qtx::RunEventDbTool(args, std::cout, std::cerr);
}
