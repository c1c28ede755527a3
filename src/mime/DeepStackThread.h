#pragma once
// One long-lived thread with a deep stack that runs the tasks handed to it, one
// at a time and in the order they came. The import parses and fills messages on
// such threads: deeply nested input recurses in the parser, and a crash there
// must not be the price of a hostile message; starting a thread per message
// cost more than the import itself.
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace mime {

class DeepStackThread {
public:
    explicit DeepStackThread(size_t stackBytes);
    // Runs what is still queued, then ends the thread.
    ~DeepStackThread();
    DeepStackThread(const DeepStackThread&) = delete;
    DeepStackThread& operator=(const DeepStackThread&) = delete;

    // Queues `task`; it runs after every task queued before it. The task object
    // is also destroyed on the thread. When no thread could be started, it runs here.
    void Post(std::function<void()> task);
    // Queues `task` without waking the thread when it waits for work: it runs
    // once a later Post or Wake wakes it (a wakeup costs more than a small task).
    void PostQuietly(std::function<void()> task);
    void Wake();
    // Runs `task` on the thread and waits for it; what it throws is thrown here.
    void Call(const std::function<void()>& task);

    // True on the thread of a DeepStackThread: deep recursion may run right here.
    static bool OnDeepStack();

private:
    void Queue(std::function<void()> task, bool wake);
    static void* Main(void* self);
    void Loop();

    std::mutex mu_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool idle_ = false;  // waiting for work: only then is it woken
    bool stopping_ = false;
    bool started_ = false;
    uint64_t callsMade_ = 0;                // by the calling thread
    std::atomic<uint64_t> callsDone_{0};    // by the thread
    pthread_t thread_{};
};

}  // namespace mime
