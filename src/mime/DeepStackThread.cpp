#include "mime/DeepStackThread.h"

#include <exception>
#include <utility>

namespace mime {

namespace {
thread_local bool onDeepStack = false;
}  // namespace

bool DeepStackThread::OnDeepStack() { return onDeepStack; }

DeepStackThread::DeepStackThread(size_t stackBytes) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stackBytes);
    started_ = pthread_create(&thread_, &attr, &DeepStackThread::Main, this) == 0;
    pthread_attr_destroy(&attr);
}

DeepStackThread::~DeepStackThread() {
    if (!started_) return;
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
    }
    wake_.notify_one();
    pthread_join(thread_, nullptr);
}

void* DeepStackThread::Main(void* self) {
    onDeepStack = true;
    static_cast<DeepStackThread*>(self)->Loop();
    return nullptr;
}

void DeepStackThread::Loop() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        if (tasks_.empty()) {
            if (stopping_) return;
            idle_ = true;
            wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            idle_ = false;
            continue;
        }
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        task = nullptr;  // what it holds goes here too
        lock.lock();
    }
}

void DeepStackThread::Post(std::function<void()> task) { Queue(std::move(task), true); }

void DeepStackThread::PostQuietly(std::function<void()> task) { Queue(std::move(task), false); }

void DeepStackThread::Queue(std::function<void()> task, bool wake) {
    if (!started_) {
        task();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        tasks_.push_back(std::move(task));
        wake = wake && idle_;
    }
    // A thread at work finds the task when it looks for the next one.
    if (wake) wake_.notify_one();
}

void DeepStackThread::Wake() {
    if (!started_) return;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        wake = idle_ && !tasks_.empty();
    }
    if (wake) wake_.notify_one();
}

void DeepStackThread::Call(const std::function<void()>& task) {
    if (!started_) {
        task();
        return;
    }
    std::exception_ptr error;
    const uint64_t call = ++callsMade_;
    // Once callsDone_ says this call is done the caller may return: the task
    // touches nothing of the caller's after that.
    Post([&task, &error, call, this] {
        try {
            task();
        } catch (...) {
            error = std::current_exception();
        }
        callsDone_.store(call, std::memory_order_release);
        callsDone_.notify_all();
    });
    for (uint64_t done = callsDone_.load(std::memory_order_acquire); done < call;
         done = callsDone_.load(std::memory_order_acquire))
        callsDone_.wait(done, std::memory_order_acquire);
    if (error) std::rethrow_exception(error);
}

}  // namespace mime
