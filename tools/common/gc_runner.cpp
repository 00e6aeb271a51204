#include "gc_runner.h"

#include "store_lock.h"

#include <cctype>
#include <climits>

namespace tool {
namespace {

// The store lock as the collector's push gate. Pushes wait at the turnstile while a hold
// lasts; a commit in flight gets a few milliseconds to finish before the holder steps back.
class StoreGate : public reg::PushGate {
 public:
  explicit StoreGate(const std::string& root) : root_(root) {}
  bool hold(std::string& error) override {
    return lock_.acquire_exclusive_briefly(root_, kPatienceMs, error);
  }
  void release() override { lock_.release(); }

 private:
  static constexpr int kPatienceMs = 20;
  std::string root_;
  StoreLock lock_;
};

}  // namespace

bool run_collection(const std::string& root, const CollectionRequest& req, bool wait,
                    reg::OnlineGcReport& report, std::string& error) {
  CollectorLock collector;
  if (!collector.acquire(root, wait, error)) return false;
  return run_collection_locked(root, req, report, error);
}

bool run_collection_locked(const std::string& root, const CollectionRequest& req,
                           reg::OnlineGcReport& report, std::string& error) {
  StoreGate gate(root);
  reg::OnlineGcOptions o;
  o.dry_run = req.dry_run;
  o.grace_s = req.grace_s;
  o.delete_untagged_after_s = req.delete_untagged_after_s;
  o.stale_upload_s = req.stale_upload_s;
  return reg::gc_run_online(o, gate, report, error);
}

bool parse_duration(const std::string& text, long long& seconds) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  size_t i = 0;
  long long n = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    if (n > LLONG_MAX / 10 - 9) return false;
    n = n * 10 + (text[i] - '0');
  }
  const std::string unit = text.substr(i);
  long long scale = 0;
  if (unit.empty() || unit == "s")
    scale = 1;
  else if (unit == "m")
    scale = 60;
  else if (unit == "h")
    scale = 3600;
  else if (unit == "d")
    scale = 86400;
  else
    return false;
  if (n > LLONG_MAX / scale / 1000) return false;  // room for milliseconds
  seconds = n * scale;
  return true;
}

std::string format_duration(long long s) {
  if (s != 0 && s % 86400 == 0) return std::to_string(s / 86400) + "d";
  if (s != 0 && s % 3600 == 0) return std::to_string(s / 3600) + "h";
  if (s != 0 && s % 60 == 0) return std::to_string(s / 60) + "m";
  return std::to_string(s) + "s";
}

}  // namespace tool
