// pontor stub create: a stub beside an image, written only when the driver
// would bind it and serve current bytes (or when told to go ahead).
#include <algorithm>
#include <cstdio>

#include "platform/host/host.h"
#include "tools/reader/check.h"
#include "tools/commands.h"
#include "tools/stub_file.h"

namespace tool {
namespace {

int StubCreate(const ParsedArgs& args) {
    const std::string& image = args.Arguments()[0];
    const std::optional<std::string> stub =
        args.Arguments().size() > 1 ? std::optional(args.Arguments()[1]) : std::nullopt;
    const StubPlan plan = PlanStub(image, stub);

    // Bind as the driver will: the image beneath the stub's directory, its
    // parent in that directory.
    const Chain chain = InspectChain(plan.directory, plan.relative, image, args.Verbose());
    if (auto failure = BindingFailure(chain)) {
        failure->message = "cannot bind: " + failure->message;
        throw *failure;
    }
    const std::vector<Finding> findings = CheckChain(chain);
    const bool force = args.Flag("force");
    for (const Finding& f : findings) {
        if (f.effect == Effect::Stale) {
            std::fprintf(stderr, "pontor: %s: %s: %s [%s]\n", f.subject.c_str(),
                         force ? "warning" : "error", f.message.c_str(), f.code.c_str());
        }
    }
    if (Stale(findings) && !force) {
        const bool log = std::any_of(findings.begin(), findings.end(),
                                     [](const Finding& f) { return f.code == "log-not-replayed"; });
        throw ToolError{image, std::string("the driver would serve stale bytes; no stub written "
                                           "(--force writes it anyway)") +
                                   (log ? "; 'pontor replay IMAGE OUT' writes a copy with the "
                                          "log replayed"
                                        : "")};
    }

    WriteFileAtomically(plan.stubPath, StubBytes(plan.storedPath), args.Flag("overwrite"));
    std::printf("%s: stub for %s, serving %llu bytes\n", plan.stubPath.string().c_str(),
                plan.relative.c_str(),
                (unsigned long long)chain.child->driver->Context()->DataSize);
    return kExitOk;
}

}  // namespace

Command StubCreateCommand() {
    return {{"stub create",
             "IMAGE [STUB]",
             "write a stub that serves IMAGE",
             "Writes a stub for IMAGE: STUB, or a file in the directory STUB, or by default\n"
             "IMAGE's name with the extension vmdk. The stub names the image relative to its\n"
             "own directory, so IMAGE must lie in that directory or beneath it, and the\n"
             "parent of a differencing image must lie in the stub's directory itself.\n"
             "Refuses an image the driver cannot bind, and one it would serve stale bytes of\n"
             "(a log that was not replayed, a newer second header whose log differs, a\n"
             "parent that changed since the child was made) unless --force is given.\n"
             "The stub appears whole or not at all.\n",
             {{'f', "force", nullptr, "write the stub despite stale bytes (a warning each)"},
              {0, "overwrite", nullptr, "replace an existing file at STUB"}},
             1,
             2},
            StubCreate};
}

}  // namespace tool
