#pragma once

#include <QString>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

class QWidget;

namespace corvanel::app {

// Long work the user asked for, done on a thread of its own so that the
// window keeps painting: past 200 ms a dialog says what is done, with a busy
// bar and "Cancel". Work that was cancelled runs to its end unwatched and
// its outcome is dropped, so it must own what it touches.
class Waiter {
public:
    explicit Waiter(QWidget* window) : window_(window) {}
    ~Waiter();  // waits for cancelled work still running
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    // True when `work` finished (an exception it threw is thrown again
    // here); false when the user cancelled it.
    bool run(const QString& what, std::function<void()> work);

private:
    struct Task {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void reap(bool all);

    QWidget* window_;
    std::vector<Task> tasks_;
};

}  // namespace corvanel::app
