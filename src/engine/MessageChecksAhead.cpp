#include "engine/MessageChecksAhead.h"

#include <thread>

#include "files/FileApi.h"

namespace engine {

namespace {
// The engine announces a few dozen messages ahead of the one it takes.
constexpr size_t kMaxAnnounced = 256;
}  // namespace

MessageChecks CheckMessageSource(const std::string& path) {
    MessageChecks c;
    c.problem = files::SourceFileKindProblem(path, c.size);
    if (!c.problem.empty()) return c;
    const std::string meta = path + ".meta";
    const std::uint32_t a = files::GetFileAttrBeside(meta);
    c.metaFound = a != files::kInvalidFileAttributes;
    if (c.metaFound && (a & files::kFileAttributeReparsePoint)) {
        c.problem = "symbolic link beside it: " + meta;
        return c;
    }
    if (c.metaFound) c.state = items::ReadMessageState(meta);
    return c;
}

std::function<void()> MessageChecksAhead::Announce(const std::string& path) {
    auto entry = std::make_shared<Entry>();
    entry->path = path;
    // Far behind the announcements: passed over without being taken.
    while (announced_.size() >= kMaxAnnounced) announced_.pop_front();
    announced_.push_back(entry);
    return [entry] {
        int waiting = kWaiting;
        if (!entry->stage.compare_exchange_strong(waiting, kChecking)) return;  // taken already
        try {
            entry->checks = CheckMessageSource(entry->path);
            entry->made = true;
        } catch (...) {
        }
        entry->stage.store(kDone, std::memory_order_release);
    };
}

MessageChecks MessageChecksAhead::Take(const std::string& path) {
    std::shared_ptr<Entry> entry;
    for (auto it = announced_.begin(); it != announced_.end(); ++it) {
        if ((*it)->path != path) continue;
        entry = *it;
        announced_.erase(announced_.begin(), it + 1);
        break;
    }
    if (!entry) return CheckMessageSource(path);
    int waiting = kWaiting;
    if (entry->stage.compare_exchange_strong(waiting, kTaken)) return CheckMessageSource(path);
    // Being made on the parser right now: a matter of microseconds.
    while (entry->stage.load(std::memory_order_acquire) != kDone) std::this_thread::yield();
    return entry->made ? std::move(entry->checks) : CheckMessageSource(path);
}

}  // namespace engine
