// A second thread for the server's largest piece of work: a scan's sends to
// many clients. Each send is mostly the kernel's (TCP over loopback or the
// network, and waking the reader), so on a box with two cores the two halves
// of a fan-out go out side by side.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace server {

class SendHelper {
public:
    SendHelper();
    ~SendHelper();
    SendHelper(const SendHelper&) = delete;
    SendHelper& operator=(const SendHelper&) = delete;

    // Runs `theirs` on the helper thread and `mine` on this one, and returns
    // once both are done.
    void runBeside(const std::function<void()>& mine, const std::function<void()>& theirs);

private:
    void serve();

    std::mutex guard_;
    std::condition_variable changed_;
    const std::function<void()>* task_ = nullptr;
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace server
