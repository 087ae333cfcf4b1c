// The serial executor: posted order, Drain, a throwing task that does not end the thread,
// and Stop that drops what is still queued; the guarded body that reports what escapes.
#include "util/serial_executor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <vector>

#include "util/thread_body.h"

namespace merravine {
namespace {

TEST(SerialExecutor, RunsInPostedOrderPastAThrowingTask) {
    SerialExecutor executor;
    std::vector<int> order;  // written by the executor's thread only, read after Drain
    for (int i = 0; i < 50; ++i) {
        executor.Post([&order, i] {
            if (i == 10) throw std::runtime_error("task ten");
            order.push_back(i);
        });
    }
    executor.Drain();
    ASSERT_EQ(order.size(), 49u);
    for (size_t i = 1; i < order.size(); ++i) EXPECT_LT(order[i - 1], order[i]);
    executor.Post([&order] { order.push_back(100); });
    executor.Drain();
    EXPECT_EQ(order.back(), 100);
}

TEST(SerialExecutor, StopLetsTheRunningTaskEndAndDropsTheQueue) {
    SerialExecutor executor;
    std::promise<void> started;
    std::promise<void> release;
    std::atomic<int> ran{0};
    executor.Post([&] {
        started.set_value();
        release.get_future().wait();
        ++ran;
    });
    executor.Post([&] { ++ran; });  // still queued when Stop begins
    started.get_future().wait();
    std::thread stopper([&] { executor.Stop(); });
    // Drain returns once Stop has begun (the first task cannot end before the release),
    // so the second task is surely dropped before the first one is let go.
    executor.Drain();
    release.set_value();
    stopper.join();
    EXPECT_EQ(ran.load(), 1);
    executor.Post([&] { ++ran; });  // ignored after Stop
    executor.Drain();
    EXPECT_EQ(ran.load(), 1);
}

TEST(RunGuarded, ReportsWhatEscapesAndPassesSuccess) {
    EXPECT_TRUE(RunGuarded("quiet", [] {}).IsOk());
    const Status failed = RunGuarded("loud", [] { throw std::runtime_error("disk on fire"); });
    EXPECT_EQ(failed.Code(), StatusCode::kFailed);
    EXPECT_EQ(failed.Message(), "disk on fire");
    EXPECT_EQ(RunGuarded("odd", [] { throw 7; }).Message(), "unknown exception");
}

}  // namespace
}  // namespace merravine
