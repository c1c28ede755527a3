#pragma once
// A scratch folder per test, removed afterwards, with small helpers to build trees.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace testutil {

class TempTree {
public:
    TempTree() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "orvandel-files-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        ::chmod(tmpl.c_str(), 0755);
        root_ = tmpl + "/";
    }
    ~TempTree() {
        std::error_code ec;
        // Give back permissions a test may have taken away, then remove (links are not followed).
        for (auto it = std::filesystem::recursive_directory_iterator(
                 root_, std::filesystem::directory_options::skip_permission_denied, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (!it->is_symlink()) ::chmod(it->path().c_str(), 0755);
        }
        std::filesystem::remove_all(root_, ec);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    // Root of the scratch folder, ending with "/".
    const std::string& root() const { return root_; }
    std::string path(const std::string& rel) const { return root_ + rel; }

    void dir(const std::string& rel) const { std::filesystem::create_directories(root_ + rel); }
    void file(const std::string& rel, const std::string& content = "x") const {
        const std::string p = root_ + rel;
        std::filesystem::create_directories(std::filesystem::path(p).parent_path());
        std::ofstream(p, std::ios::binary) << content;
    }

private:
    std::string root_;
};

}  // namespace testutil
