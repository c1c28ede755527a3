#pragma once
// Running a shell command from a test (the program under test, pst-inspect,
// the other readers) and quoting its arguments.
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace testshell {

struct Result {
    int status = -1;     // the exit status, -1 when the command did not exit normally
    std::string output;  // its stdout and stderr together
};

inline Result Run(const std::string& command) {
    Result r;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf{};
    while (size_t n = std::fread(buf.data(), 1, buf.size(), p)) r.output.append(buf.data(), n);
    const int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// One shell word, whatever the text holds.
inline std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace testshell
