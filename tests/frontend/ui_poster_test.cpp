#include "frontend/ui_poster.hpp"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <thread>
#include <vector>

namespace kavori::frontend {
namespace {

class UiPosterTest : public ::testing::Test {
 protected:
  // Runs the event loop until `done` or a generous bound, which only a broken poster reaches.
  void RunUntil(const std::function<bool()>& done) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
      if (done()) loop.quit();
    });
    poll.start(1);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
  }

  int argc = 1;
  char name[16] = "ui_poster_test";
  char* argv[2] = {name, nullptr};
  QCoreApplication app{argc, argv};
};

TEST_F(UiPosterTest, RunsTasksFromWorkersOnTheUiThreadInOrder) {
  QtUiPoster poster;
  const std::thread::id uiThread = std::this_thread::get_id();
  std::vector<int> seen;  // touched on the UI thread only
  bool allOnUiThread = true;
  constexpr int kPerWorker = 200;
  std::thread first([&] {
    for (int i = 0; i < kPerWorker; ++i)
      poster.Post([&, i] {
        allOnUiThread = allOnUiThread && std::this_thread::get_id() == uiThread;
        seen.push_back(i);
      });
  });
  std::thread second([&] {
    for (int i = 0; i < kPerWorker; ++i) poster.Post([&, i] { seen.push_back(1000 + i); });
  });
  first.join();
  second.join();
  RunUntil([&] { return seen.size() == 2 * kPerWorker; });

  ASSERT_EQ(seen.size(), 2u * kPerWorker);
  EXPECT_TRUE(allOnUiThread);
  int nextFirst = 0;
  int nextSecond = 1000;
  for (const int value : seen) {
    int& expected = value < 1000 ? nextFirst : nextSecond;
    EXPECT_EQ(value, expected++) << "one worker's tasks ran out of order";
  }
}

TEST_F(UiPosterTest, DropsQueuedAndLaterTasksOnceStopped) {
  QtUiPoster poster;
  int ran = 0;
  poster.Post([&] {
    ++ran;
    poster.Stop();  // the task after this one was queued already
  });
  poster.Post([&] { ran += 100; });
  bool marker = false;
  QTimer::singleShot(50, [&] { marker = true; });
  RunUntil([&] { return marker; });
  poster.Post([&] { ran += 1000; });
  QCoreApplication::processEvents();
  EXPECT_EQ(ran, 1);
}

}  // namespace
}  // namespace kavori::frontend
