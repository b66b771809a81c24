#include "tests/support/kit.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace kit {

ScratchDir::ScratchDir(std::string_view prefix) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    dir_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string Slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
    const std::string text = Slurp(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> ReadAt(const std::filesystem::path& path, uint64_t offset, size_t length) {
    std::vector<uint8_t> bytes(length);
    std::ifstream in(path, std::ios::binary);
    in.seekg((std::streamoff)offset);
    in.read(reinterpret_cast<char*>(bytes.data()), (std::streamsize)length);
    bytes.resize(in ? length : (size_t)std::max<std::streamsize>(in.gcount(), 0));
    return bytes;
}

uint32_t PeChecksum(const std::vector<uint8_t>& file) {
    const size_t field = (file[0x3c] | file[0x3d] << 8 | file[0x3e] << 16 | file[0x3f] << 24) + 88;
    uint64_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        if (i != field && i != field + 2) {
            sum += file[i] | (i + 1 < file.size() ? file[i + 1] << 8 : 0);
            sum = (sum & 0xffff) + (sum >> 16);
        }
    }
    return (uint32_t)((sum & 0xffff) + (sum >> 16) + file.size());
}

std::vector<std::string> Run::ErrLines() const {
    std::vector<std::string> lines;
    std::stringstream in(err);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

int Launch(const std::vector<std::string>& argv, const std::filesystem::path& out,
           const std::filesystem::path& err, const std::filesystem::path& dir,
           const std::vector<std::string>& env) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (!dir.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    }
    std::vector<std::string> environment = env;
    for (char** e = environ; *e != nullptr; e++) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        if (std::none_of(env.begin(), env.end(),
                         [&](const std::string& own) { return own.rfind(name, 0) == 0; })) {
            environment.push_back(entry);
        }
    }
    std::vector<std::string> args = argv;
    std::vector<char*> rawArgs, rawEnvironment;
    for (std::string& a : args) {
        rawArgs.push_back(a.data());
    }
    for (std::string& e : environment) {
        rawEnvironment.push_back(e.data());
    }
    rawArgs.push_back(nullptr);
    rawEnvironment.push_back(nullptr);
    pid_t pid;
    const int failed = posix_spawn(&pid, args.at(0).c_str(), &actions, nullptr, rawArgs.data(),
                                   rawEnvironment.data());
    posix_spawn_file_actions_destroy(&actions);
    return failed ? -1 : pid;
}

Run Spawn(const std::vector<std::string>& argv, const std::filesystem::path& dir,
          const std::vector<std::string>& env) {
    ScratchDir capture("pontor-run");
    Run run;
    const pid_t pid = Launch(argv, capture.File("out"), capture.File("err"), dir, env);
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid) {
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    run.out = Slurp(capture.File("out"));
    run.err = Slurp(capture.File("err"));
    return run;
}

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Output(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run: " << command;
        return output;
    }
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        output.append(chunk, n);
    }
    const int status = ::pclose(pipe);
    EXPECT_EQ(status, 0) << command << "\n" << output;
    return output;
}

bool Have(const std::string& program) {
    return Shell("command -v " + program + " >/dev/null 2>&1") == 0;
}

Fault AllocationFault() {
    return {"allocation", [](uint64_t n) { host::FailAllocation(n); },
            STATUS_INSUFFICIENT_RESOURCES};
}

Fault ReadFault() {
    return {"read", [](uint64_t n) { host::FailRead(n, STATUS_IO_DEVICE_ERROR); },
            STATUS_IO_DEVICE_ERROR};
}

uint64_t SweepFaults(const Fault& fault, const std::function<NTSTATUS(const Arm& arm)>& body) {
    for (uint64_t n = 1;; n++) {
        SCOPED_TRACE(std::string(fault.name) + " fault " + std::to_string(n));
        host::ResetFaults();
        const NTSTATUS status = body([&] {
            host::ResetFaults();
            fault.arm(n);
        });
        const bool injected = host::FaultInjected();
        host::ResetFaults();
        EXPECT_EQ(host::PoolOutstanding(), 0u) << "pool allocations leaked";
        if (!injected) {
            EXPECT_EQ(status, STATUS_SUCCESS) << host::StatusName(status);
            return n;
        }
        EXPECT_TRUE(status == STATUS_SUCCESS || status == fault.status) << host::StatusName(status);
        if (::testing::Test::HasFailure()) {
            return n;
        }
    }
}

}  // namespace kit
