// The current IRQL of each host thread and the level checks of the routines
// Windows documents for lower levels only. A violation is a bug check, as
// Driver Verifier makes it, except the few the driver's required behaviour
// brings with it (docs/windows.md), which are reported as warnings.
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/ke/internal.h"

namespace host {
namespace {

thread_local KIRQL tIrql = PASSIVE_LEVEL;
thread_local ke::Activity tActivity = ke::Activity::None;

std::mutex gWarningsMutex;
std::vector<std::string>& gWarnings = *new std::vector<std::string>();

// The hazards the driver must accept: a routine above its level during one
// activity of the platform. Anything else above its level stops the system.
struct Hazard {
    const char* routine;
    ke::Activity during;
};
constexpr Hazard kHazards[] = {
    // PontorPreRead names the stub with %wZ when a paging read fails.
    {"DbgPrintEx with a Unicode conversion", ke::Activity::PagingIo},
    // The context cleanup closes the image files, wherever the stream goes.
    {"FltClose", ke::Activity::ContextCleanup},
};

bool Tolerated(const char* routine) {
    for (const Hazard& h : kHazards) {
        if (h.during == tActivity && std::string(h.routine) == routine) {
            return true;
        }
    }
    return false;
}

}  // namespace

RaisedIrql::RaisedIrql(KIRQL level) : saved_(tIrql) { tIrql = level; }
RaisedIrql::~RaisedIrql() { tIrql = saved_; }

std::vector<std::string> IrqlWarnings() {
    std::lock_guard<std::mutex> lock(gWarningsMutex);
    return gWarnings;
}

void ClearIrqlWarnings() {
    std::lock_guard<std::mutex> lock(gWarningsMutex);
    gWarnings.clear();
}

void CheckPagedCode(const char* routine) {
    if (tIrql <= APC_LEVEL) {
        return;  // the usual case, on every read: no message built
    }
    ke::CheckIrql(APC_LEVEL, (std::string("pageable ") + routine).c_str());
}

namespace ke {

IrqlScope::IrqlScope(KIRQL level, Activity activity) : irql_(tIrql), activity_(tActivity) {
    if (level > tIrql) {
        tIrql = level;
    }
    tActivity = activity;
}

IrqlScope::~IrqlScope() {
    tIrql = irql_;
    tActivity = activity_;
}

void CheckIrql(KIRQL maximum, const char* routine) {
    if (tIrql <= maximum) {
        return;
    }
    const std::string what = std::string(routine) + " at IRQL " + std::to_string(tIrql) +
                             " (allowed up to " + std::to_string(maximum) + ")";
    if (Tolerated(routine)) {
        std::lock_guard<std::mutex> lock(gWarningsMutex);
        gWarnings.push_back(what);
        return;
    }
    BugCheck("IRQL_NOT_LESS_OR_EQUAL: " + what);
}

}  // namespace ke
}  // namespace host

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID) { return host::tIrql; }
