// Bug checks: a contract violation stops the machine, or, in a test that
// counts them, goes to its handler.
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/host/ke/internal.h"

namespace host {
namespace {

std::mutex gHandlerMutex;
BugCheckHandler gHandler;

}  // namespace

void SetBugCheckHandler(BugCheckHandler handler) {
    std::lock_guard<std::mutex> lock(gHandlerMutex);
    gHandler = std::move(handler);
}

namespace ke {

void BugCheck(const std::string& what) {
    BugCheckHandler handler;
    {
        std::lock_guard<std::mutex> lock(gHandlerMutex);
        handler = gHandler;
    }
    if (handler) {
        handler(what);
        return;
    }
    std::fprintf(stderr, "BUGCHECK: %s\n", what.c_str());
    std::abort();
}

}  // namespace ke
}  // namespace host
