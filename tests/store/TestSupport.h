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
#include "support/Shell.h"

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

using CommandResult = testshell::Result;
using testshell::Quote;
using testshell::Run;

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
