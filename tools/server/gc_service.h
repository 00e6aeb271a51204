// The server's collections: on a schedule (`--gc-interval`), and on request through the
// store's control socket (`tarnwick-registry gc` against a running server). One at a time;
// each is logged and counted in the metrics.
#pragma once

#include "gc_control.h"
#include "metrics.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace tool {

struct GcServiceOptions {
  long long interval_s = 0;  // 0: no schedule
  long long grace_s = 3600;
  long long delete_untagged_after_s = -1;  // scheduled runs only; < 0: untagged ones stay
  long long stale_upload_s = 900;
};

class GcService {
 public:
  GcService(std::string root, GcServiceOptions o, ServerMetrics* metrics);
  GcService(const GcService&) = delete;
  GcService& operator=(const GcService&) = delete;
  ~GcService();  // stops: a collection in progress is asked to cancel
  // Starts the schedule and the control socket; a socket that cannot be made is logged.
  void start();

 private:
  void run_schedule();
  void serve_control();
  void answer(int fd);
  // One collection; `wait` for one running in another process.
  bool collect(CollectionRequest req, bool wait, std::string& result);

  std::string root_;
  GcServiceOptions o_;
  ServerMetrics* metrics_;
  std::mutex run_mutex_;  // one collection at a time in this process
  std::mutex m_;
  std::condition_variable cv_;
  bool stop_ = false;
  ControlListener control_;
  int wake_[2] = {-1, -1};  // stops the control thread's poll
  std::thread schedule_, control_thread_;
};

}  // namespace tool
