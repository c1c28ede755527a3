#include "files/MemoryFiles.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <unordered_map>

namespace files {

namespace {

struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<std::string, std::shared_ptr<const MemoryFile>, NameHash, std::equal_to<>> files;
    // Folders converted from disk never take the lock.
    std::atomic<size_t> count{0};
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

}  // namespace

void PutMemoryFile(const std::string& path, std::shared_ptr<const MemoryFile> file) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.files[path] = std::move(file);
    r.count.store(r.files.size(), std::memory_order_release);
}

std::shared_ptr<const MemoryFile> FindMemoryFile(std::string_view path) {
    Registry& r = TheRegistry();
    if (r.count.load(std::memory_order_acquire) == 0) return nullptr;
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.files.find(path);
    return it == r.files.end() ? nullptr : it->second;
}

bool DropMemoryFile(std::string_view path) {
    Registry& r = TheRegistry();
    if (r.count.load(std::memory_order_acquire) == 0) return false;
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.files.find(path);
    if (it == r.files.end()) return false;
    r.files.erase(it);
    r.count.store(r.files.size(), std::memory_order_release);
    return true;
}

}  // namespace files
