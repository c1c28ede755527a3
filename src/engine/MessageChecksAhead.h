#pragma once
// The checks of a message's source made ahead of its turn: its kind and size,
// the ".meta" beside it and the state that holds. They are made on the thread
// that parses the message ahead, just before it reads the file, so that the
// thread writing the PST does not make them in its turn; whichever thread
// comes first makes them, once, and the result is the same.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "items/MessageState.h"

namespace engine {

struct MessageChecks {
    std::string problem;  // why the message cannot be read safely, or ""
    uint64_t size = 0;
    bool metaFound = false;
    items::MessageState state;  // read only when there is no problem and a ".meta"
};

// Why a message's source cannot be read safely (the file itself, or a link in
// place of its ".meta"), one lstat of each, and the state in its ".meta".
MessageChecks CheckMessageSource(const std::string& path);

class MessageChecksAhead {
public:
    // What to hand the parse-ahead thread with the announcement of `path`.
    std::function<void()> Announce(const std::string& path);
    // The checks of `path`: taken when they were made ahead, else made now.
    // Announced messages passed over are let go.
    MessageChecks Take(const std::string& path);

private:
    enum Stage : int { kWaiting, kChecking, kDone, kTaken };
    struct Entry {
        std::string path;
        std::atomic<int> stage{kWaiting};
        bool made = false;  // false: making them threw, they are made again in turn
        MessageChecks checks;
    };
    std::deque<std::shared_ptr<Entry>> announced_;
};

}  // namespace engine
