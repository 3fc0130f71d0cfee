#include "send_helper.h"

namespace server {

SendHelper::SendHelper() : thread_([this] { serve(); }) {}

SendHelper::~SendHelper() {
    {
        std::lock_guard<std::mutex> lock(guard_);
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void SendHelper::runBeside(const std::function<void()>& mine, const std::function<void()>& theirs) {
    {
        std::lock_guard<std::mutex> lock(guard_);
        task_ = &theirs;
    }
    changed_.notify_all();
    mine();
    std::unique_lock<std::mutex> lock(guard_);
    changed_.wait(lock, [this] { return task_ == nullptr; });
}

void SendHelper::serve() {
    std::unique_lock<std::mutex> lock(guard_);
    for (;;) {
        changed_.wait(lock, [this] { return quit_ || task_ != nullptr; });
        if (quit_) return;
        const std::function<void()>* task = task_;
        lock.unlock();
        (*task)();
        lock.lock();
        task_ = nullptr;
        changed_.notify_all();
    }
}

}  // namespace server
