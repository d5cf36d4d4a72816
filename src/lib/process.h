// Running a host command without a shell: the program and its arguments go
// to the kernel as a vector, so no value can be read as shell syntax.
// Internal to the library; not exported.
#ifndef KXFS_PROCESS_H
#define KXFS_PROCESS_H

#include <cstddef>
#include <string>
#include <vector>

namespace kx {

enum RunFlags : unsigned {
    kRunSearchPath = 0x1,   // find argv[0] through PATH
    kRunQuietStderr = 0x2,  // the command's standard error goes to /dev/null
};

struct RunResult {
    // Raw wait status, as system() returns it. When the program could not
    // be executed it is the shell's answer for that case: exit status 127
    // (not found) or 126 (not executable); -1 when no process was made.
    int status = -1;
    // The error number when the program could not be started, else 0.
    int start_error = 0;
};

// Runs argv and waits for it. With output given, the command's standard
// output is collected there (at most output_limit bytes; the pipe is closed
// after that); otherwise the command shares our standard output.
RunResult run_command(const std::vector<std::string> &argv, unsigned flags,
                      std::string *output = nullptr, size_t output_limit = 1 << 20);

// Text of argv as a shell would show it, for traces only.
std::string command_text(const std::vector<std::string> &argv);

}  // namespace kx

#endif
