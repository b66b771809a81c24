// pontor: VHDX images and their stubs through the driver's own code.
#include "tools/commands.h"

int main(int argc, char** argv) {
    return tool::RunPontor(std::vector<std::string>(argv + 1, argv + argc));
}
