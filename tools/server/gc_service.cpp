#include "gc_service.h"

#include <reg_storage.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace tool {
namespace {

long long field(const std::string& json, const char* key) {
  const std::string k = std::string("\"") + key + "\":";
  const size_t at = json.find(k);
  return at == std::string::npos ? 0 : std::atoll(json.c_str() + at + k.size());
}

void log_result(bool ok, const char* why, const std::string& text) {
  if (!ok) {
    std::fprintf(stderr, "tarnwick-registry: collection (%s) failed: %s\n", why, text.c_str());
    return;
  }
  std::fprintf(stderr,
               "tarnwick-registry: collection (%s): %lld blobs deleted (%lld bytes), %lld untagged "
               "manifests deleted, %lld blobs could not be removed, pushes held at most %lld ms, "
               "%lld ms\n",
               why, field(text, "blobs_deleted"), field(text, "bytes_freed"),
               field(text, "manifests_deleted"), field(text, "not_removed_count"),
               field(text, "longest_hold_ms"), field(text, "elapsed_ms"));
}

}  // namespace

GcService::GcService(std::string root, GcServiceOptions o, ServerMetrics* metrics)
    : root_(std::move(root)), o_(o), metrics_(metrics) {}

void GcService::start() {
  if (o_.interval_s > 0) {
    std::fprintf(stderr, "tarnwick-registry: collections every %s, grace period %s%s\n",
                 format_duration(o_.interval_s).c_str(), format_duration(o_.grace_s).c_str(),
                 o_.delete_untagged_after_s < 0
                     ? ""
                     : (", untagged manifests deleted after " +
                        format_duration(o_.delete_untagged_after_s))
                           .c_str());
    schedule_ = std::thread([this] { run_schedule(); });
  }
  std::string error;
  if (pipe2(wake_, O_CLOEXEC) != 0 || !control_.open(root_, error)) {
    std::fprintf(stderr, "tarnwick-registry: `gc` cannot ask this server to collect: %s\n",
                 error.empty() ? "no pipe" : error.c_str());
    return;
  }
  control_thread_ = std::thread([this] { serve_control(); });
}

GcService::~GcService() {
  {
    std::lock_guard<std::mutex> l(m_);
    stop_ = true;
  }
  cv_.notify_all();
  if (wake_[1] >= 0) (void)!write(wake_[1], "x", 1);
  if (!run_mutex_.try_lock())
    reg_gc_cancel();  // a collection in progress stops at its next check point
  else
    run_mutex_.unlock();
  if (schedule_.joinable()) schedule_.join();
  if (control_thread_.joinable()) control_thread_.join();
  for (int fd : wake_)
    if (fd >= 0) close(fd);
}

bool GcService::collect(CollectionRequest req, bool wait, std::string& result) {
  std::lock_guard<std::mutex> one(run_mutex_);
  req.stale_upload_s = o_.stale_upload_s;
  reg::OnlineGcReport report;
  const bool ok = run_collection(root_, req, wait, report, result);
  if (ok) result = report.summary;
  if (metrics_ && (ok || result != "a collection is running"))
    metrics_->record_collection(ok, report.elapsed_ms, report.blobs_deleted, report.bytes_freed,
                                report.manifests_deleted, report.longest_hold_ms,
                                report.total_hold_ms);
  return ok;
}

void GcService::run_schedule() {
  std::unique_lock<std::mutex> l(m_);
  while (!cv_.wait_for(l, std::chrono::seconds(o_.interval_s), [this] { return stop_; })) {
    l.unlock();
    CollectionRequest req;
    req.grace_s = o_.grace_s;
    req.delete_untagged_after_s = o_.delete_untagged_after_s;
    std::string result;
    // Another process collecting now does this round's work.
    const bool ok = collect(req, false, result);
    if (ok || result != "a collection is running") log_result(ok, "scheduled", result);
    l.lock();
  }
}

void GcService::serve_control() {
  for (;;) {
    pollfd p[2] = {{control_.fd(), POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0) continue;
    if (p[1].revents) return;
    if (!(p[0].revents & POLLIN)) continue;
    const int fd = control_.accept_owner();
    if (fd < 0) continue;
    answer(fd);
    close(fd);
  }
}

void GcService::answer(int fd) {
  CollectionRequest req;
  if (!read_control_request(fd, req)) {
    write_control_reply(fd, false, "malformed request");
    return;
  }
  std::string result;
  const bool ok = collect(req, true, result);
  log_result(ok, "requested", result);
  write_control_reply(fd, ok, result);
}

}  // namespace tool
