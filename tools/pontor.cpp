// pontor: VHDX images and their stubs through the driver's own code.
#include <cstdio>
#include <string_view>

#include "tools/commands.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::printf("pontor %s (revision %s)\n", PONTOR_VERSION, PONTOR_REVISION);
        return 0;
    }
    return tool::RunPontor(std::vector<std::string>(argv + 1, argv + argc));
}
