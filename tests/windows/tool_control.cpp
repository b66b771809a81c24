// A console program using the C++ runtime (streams, threads, exceptions),
// which tool_cross.cmake links in the ways pontor.exe must not be: with the
// runtime's DLLs, and as a GUI program. The host's checks of pontor.exe must
// find each of them wrong.
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <thread>

int main(int argc, char**) {
    std::ostringstream out;
    std::thread([&] { out << argc; }).join();
    if (out.str().empty()) {
        throw std::runtime_error("nothing written");
    }
    std::puts(out.str().c_str());
    return 0;
}
