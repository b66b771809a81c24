// pontor.exe: the Windows build of the tool. Arguments arrive as UTF-16
// (wmain), so that any file name reaches the tool, which works in UTF-8.
#include <cwchar>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "tools/commands.h"
#include "tools/win32/linux_only.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++) {
        args.push_back(host::Utf8(std::u16string(argv[i], argv[i] + std::wcslen(argv[i]))));
    }
    if (!args.empty()) {
        if (const std::optional<int> refused = tool::RefuseLinuxOnly(args[0])) {
            return *refused;
        }
    }
    return tool::RunPontor(args);
}
