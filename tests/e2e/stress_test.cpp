// Many shuffled requests from several host processes on one server, with a processor kept busy
// (users run us beside an encoder): every frame is exact, and no host waits on the server for
// longer than the answer bound (a host that did fails its run with the bound's message).
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

// Frame numbers for one host: random targets, each followed now and then by the requests around
// the continue-or-restart window, so that runs are both continued and restarted.
std::vector<int> StressOrder(int frames, int requests, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<int> order;
  while (static_cast<int>(order.size()) < requests) {
    const int target = static_cast<int>(random() % static_cast<unsigned>(frames));
    order.push_back(target);
    for (int step : {1, 9, 10, 19, 20}) {
      if (random() % 4 == 0 && target + step < frames) order.push_back(target + step);
    }
  }
  order.resize(static_cast<size_t>(requests));
  return order;
}

TEST(Stress, ShuffledRequestsFromSeveralHostsWithAProcessorBusyAreExact) {
  constexpr int kRequestsPerHost = 1250;
  const std::vector<std::string> media = {"es576i_open.m2v", "ts576i.ts", "mkv576i.mkv",
                                          "es576i_open.m2v"};
  std::vector<std::string> projects;
  std::vector<std::vector<std::string>> references;
  for (const std::string& name : media) {
    projects.push_back(IndexVideo(MediaPath(name), {}));
    references.push_back(FfmpegMd5(MediaPath(name)));
    ASSERT_FALSE(references.back().empty());
  }
  Server server({"--clients", "4"});
  std::atomic<bool> busy{true};
  std::thread burner([&busy] {
    volatile unsigned spin = 0;
    while (busy.load(std::memory_order_relaxed)) spin = spin + 1;
  });
  std::vector<std::vector<std::pair<int, std::string>>> served(media.size());
  std::vector<std::vector<int>> orders(media.size());
  std::vector<std::thread> hosts;
  for (size_t h = 0; h < media.size(); ++h) {
    const int frames = static_cast<int>(references[h].size());
    orders[h] = StressOrder(frames, kRequestsPerHost, 20261208u + static_cast<unsigned>(h));
    hosts.emplace_back([&, h] { served[h] = HashFrames(projects[h], orders[h]); });
  }
  for (std::thread& host : hosts) host.join();
  busy.store(false);
  burner.join();
  for (size_t h = 0; h < media.size(); ++h) {
    SCOPED_TRACE(media[h] + " (host " + std::to_string(h) + ")");
    ASSERT_EQ(served[h].size(), orders[h].size());
    int wrong = 0;
    for (size_t i = 0; i < served[h].size(); ++i) {
      const int n = served[h][i].first;
      EXPECT_EQ(n, orders[h][i]);
      if (n < 0 || n >= static_cast<int>(references[h].size()) ||
          served[h][i].second != references[h][n]) {
        ++wrong;
      }
    }
    EXPECT_EQ(wrong, 0);
  }
}

}  // namespace
}  // namespace e2e
