#include "app/Waiter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProgressDialog>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <future>

namespace corvanel::app {

namespace {
constexpr int kQuietMs = 200;  // work this short shows no dialog
}

Waiter::~Waiter() { reap(true); }

void Waiter::reap(bool all) {
    std::erase_if(tasks_, [all](Task& t) {
        if (!all && !*t.done) return false;
        t.thread.join();
        return true;
    });
}

bool Waiter::run(const QString& what, std::function<void()> work) {
    reap(false);
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto failure = std::make_shared<std::exception_ptr>();
    auto ended = std::make_shared<std::promise<void>>();
    std::future<void> end = ended->get_future();
    tasks_.push_back({std::thread([work = std::move(work), done, failure, ended] {
                          try {
                              work();
                          } catch (...) {
                              *failure = std::current_exception();
                          }
                          *done = true;
                          ended->set_value();
                      }),
                      done});
    const auto finish = [&] {
        reap(false);
        if (*failure) std::rethrow_exception(*failure);
        return true;
    };

    // The first moments without a dialog, and without the user's input: a
    // click now would act on a window that is not ready for it.
    QElapsedTimer clock;
    clock.start();
    while (!*done && clock.elapsed() < kQuietMs) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        end.wait_for(std::chrono::milliseconds(2));
    }
    if (*done) return finish();

    QProgressDialog dialog(what, QStringLiteral("Cancel"), 0, 0, window_);
    dialog.setObjectName(QStringLiteral("WaitDialog"));
    dialog.setWindowTitle(window_ ? window_->windowTitle() : QString());
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setMinimumDuration(0);
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (*done || dialog.wasCanceled()) loop.quit();
    });
    QObject::connect(&dialog, &QProgressDialog::canceled, &loop, &QEventLoop::quit);
    poll.start(20);
    dialog.show();
    loop.exec();
    if (*done) return finish();
    return false;
}

}  // namespace corvanel::app
