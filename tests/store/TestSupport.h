#pragma once
// Helpers for tests that write PST files: a scratch folder, the structural
// verifier, and pst-inspect run as a child process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "pst/verify/Verifier.h"

namespace storetest {

class ScratchDir {
public:
    ScratchDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "orvandel-store-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~ScratchDir() {
        // ORVANDEL_KEEP_TEST_FILES keeps the files for a look with other readers.
        if (std::getenv("ORVANDEL_KEEP_TEST_FILES")) return;
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

struct CommandResult {
    int status = -1;
    std::string output;
};

inline CommandResult Run(const std::string& command) {
    CommandResult r;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.output.append(buf.data(), n);
    int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Every fault the verifier finds, one per line ("" when clean).
inline std::string VerifierFaults(const std::string& path) {
    pst::verify::Report r = pst::verify::VerifyFile(path);
    std::string out = r.fatal;
    for (auto& f : r.faults) out += pst::verify::FormatFault(f) + "\n";
    return out;
}

inline bool InspectAvailable() { return std::filesystem::exists(ORVANDEL_PST_INSPECT); }

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace storetest
