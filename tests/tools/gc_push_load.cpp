#include "gc_push_load.h"

#include "digest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace tooltest {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kBlobsPerManifest = 100;
constexpr int kRepositories = 10;

void write_file(const fs::path& p, const std::string& data, std::time_t mtime = 0) {
  const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + p.string());
  const bool whole = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  if (mtime != 0) {
    const timespec times[2] = {{mtime, 0}, {mtime, 0}};
    futimens(fd, times);
  }
  ::close(fd);
  if (!whole) throw std::runtime_error("cannot write " + p.string());
}

// The blob file of `data` in its fan-out directory (made beforehand); returns its digest.
std::string write_blob(const fs::path& blobs, const std::string& data, std::time_t mtime = 0) {
  const std::string d = tool::sha256_digest(data);
  write_file(blobs / d.substr(7, 2) / d.substr(7), data, mtime);
  return d;
}

std::string image_manifest(const std::string& config, const std::vector<std::string>& layers) {
  std::string s = R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json",)"
                  R"("config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":")" +
                  config + R"(","size":1},"layers":[)";
  for (size_t i = 0; i < layers.size(); ++i)
    s += std::string(i ? "," : "") +
         R"({"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":")" + layers[i] +
         R"(","size":1})";
  return s + "]}";
}

// Body, content type, revision link and tag link, as a manifest push leaves them.
void write_tagged_manifest(const fs::path& repo, const std::string& tag, const std::string& body) {
  const std::string d = tool::sha256_digest(body), hex = d.substr(7);
  const fs::path m = repo / "_manifests";
  fs::create_directories(m / "revisions" / "sha256" / hex);
  fs::create_directories(m / "tags" / tag / "current");
  write_file(m / hex, body);
  write_file(m / (hex + ".ct"), "application/vnd.oci.image.manifest.v1+json");
  write_file(m / "revisions" / "sha256" / hex / "link", d);
  write_file(m / "tags" / tag / "current" / "link", d);
}

long long summary_field(const std::string& json, const char* key) {
  const std::string k = std::string("\"") + key + "\":";
  const size_t at = json.find(k);
  return at == std::string::npos ? 0 : std::atoll(json.c_str() + at + k.size());
}

int post_blob(httplib::Client& c, const std::string& repo, const std::string& data,
              std::string& why) {
  auto r = c.Post(("/v2/" + repo + "/blobs/uploads/?digest=" + tool::sha256_digest(data)).c_str(),
                  data, "application/octet-stream");
  if (r && r->status != 201) why = r->body;
  return r ? r->status : 0;
}

// Cumulative counts of the store-wait histogram's buckets, by bound ("+Inf" as infinity).
std::vector<std::pair<double, double>> wait_buckets(const ServerProcess& server) {
  httplib::Client c = server.client();
  auto r = c.Get("/metrics");
  std::vector<std::pair<double, double>> buckets;
  if (!r || r->status != 200) return buckets;
  const std::string prefix = "tarnwick_push_store_wait_seconds_bucket{le=\"";
  for (size_t at = r->body.find(prefix); at != std::string::npos;
       at = r->body.find(prefix, at + 1)) {
    const char* le = r->body.c_str() + at + prefix.size();
    const double bound = std::strncmp(le, "+Inf", 4) == 0 ? HUGE_VAL : std::strtod(le, nullptr);
    buckets.emplace_back(bound, std::strtod(std::strchr(le, ' ') + 1, nullptr));
  }
  return buckets;
}

// The smallest bound that holds every wait counted between the two scrapes.
double wait_bound(const std::vector<std::pair<double, double>>& before,
                  const std::vector<std::pair<double, double>>& after) {
  if (after.empty() || before.size() != after.size()) return -1;
  const double total = after.back().second - before.back().second;
  for (size_t i = 0; i < after.size(); ++i)
    if (after[i].second - before[i].second >= total) return after[i].first;
  return -1;
}

}  // namespace

void write_large_store(const std::string& root, int blobs, int garbage) {
  const fs::path blob_dir = fs::path(root) / "blobs" / "sha256";
  static const char* kHex = "0123456789abcdef";
  for (int i = 0; i < 256; ++i)
    fs::create_directories(blob_dir / std::string{kHex[i >> 4], kHex[i & 15]});
  const int manifests = blobs / kBlobsPerManifest;
  for (int m = 0, n = 0; m < manifests; ++m) {
    const std::string config = write_blob(blob_dir, "config " + std::to_string(n++));
    std::vector<std::string> layers;
    for (int l = 1; l < kBlobsPerManifest; ++l)
      layers.push_back(write_blob(blob_dir, "layer " + std::to_string(n++)));
    const fs::path repo =
        fs::path(root) / "repositories" / "big" / ("r" + std::to_string(m % kRepositories));
    write_tagged_manifest(repo, "v" + std::to_string(m / kRepositories),
                          image_manifest(config, layers));
  }
  const std::time_t old = std::time(nullptr) - 2 * 3600;
  for (int i = 0; i < garbage; ++i) write_blob(blob_dir, "garbage " + std::to_string(i), old);
}

std::string make_large_store_dir() {
  if (const char* dir = std::getenv("TARNWICK_LARGE_STORE_DIR")) return make_temp_dir(dir);
  std::error_code ec;
  return make_temp_dir(fs::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp");
}

int push_image(httplib::Client& c, const std::string& repo, int i, Pushed& p, std::string& why) {
  int status = post_blob(c, repo, "unnamed " + std::to_string(i), why);
  if (status != 201) return status;
  p.tag = "t" + std::to_string(i);
  p.blobs = {"{\"n\":" + std::to_string(i) + "}", "layer " + std::to_string(i)};
  for (const std::string& b : p.blobs)
    if ((status = post_blob(c, repo, b, why)) != 201) return status;
  p.manifest = image_manifest(tool::sha256_digest(p.blobs[0]), {tool::sha256_digest(p.blobs[1])});
  auto r = c.Put(("/v2/" + repo + "/manifests/" + p.tag).c_str(), p.manifest,
                 "application/vnd.oci.image.manifest.v1+json");
  if (r && r->status != 201) why = r->body;
  return r ? r->status : 0;
}

bool pushes_whole(httplib::Client& c, const std::string& repo, const std::vector<Pushed>& pushes,
                  std::string& why) {
  for (const Pushed& p : pushes) {
    auto m = c.Get(("/v2/" + repo + "/manifests/" + p.tag).c_str());
    if (!m || m->status != 200 || m->body != p.manifest) {
      why = "the manifest of " + p.tag + " is not the one pushed";
      return false;
    }
    for (const std::string& b : p.blobs) {
      auto r = c.Get(("/v2/" + repo + "/blobs/" + tool::sha256_digest(b)).c_str());
      if (!r || r->status != 200 || r->body != b) {
        why = "a blob of " + p.tag + " is missing or changed";
        return false;
      }
    }
  }
  return true;
}

PushLoadResult push_while_collecting(const ServerProcess& server, const std::string& root,
                                     const PushLoadOptions& o) {
  PushLoadResult result;
  const auto waits_before = wait_buckets(server);
  std::vector<long long> push_us;
  std::atomic<bool> collecting{o.collections > 0};
  std::thread pusher([&] {
    httplib::Client c = server.client();
    for (int i = 0; i < o.min_pushes || collecting; ++i) {
      Pushed p;
      std::string why;
      const auto start = Clock::now();
      const int status = push_image(c, o.repo, i, p, why);
      const long long us =
          std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
      push_us.push_back(us);
      if (status == 201)
        result.acked.push_back(std::move(p));
      else
        result.refusals.push_back(std::to_string(status) + " " + why);
    }
  });
  std::vector<std::string> args = {"--root", root, "--json", "gc"};
  args.insert(args.end(), o.gc_args.begin(), o.gc_args.end());
  for (int run = 0; run < o.collections; ++run) {
    std::string out, err;
    if (run_tool(args, &out, &err) != 0) {
      result.collection_errors.push_back(err);
      continue;
    }
    ++result.collections;
    result.blobs_deleted += summary_field(out, "blobs_deleted");
    result.longest_hold_ms =
        std::max(result.longest_hold_ms, summary_field(out, "longest_hold_ms"));
    result.longest_collection_ms =
        std::max(result.longest_collection_ms, summary_field(out, "elapsed_ms"));
  }
  collecting = false;
  pusher.join();
  std::sort(push_us.begin(), push_us.end());
  if (!push_us.empty()) {
    result.longest_push_us = push_us.back();
    result.p99_push_us = push_us[push_us.size() * 99 / 100];
  }
  result.longest_wait_bound_s = wait_bound(waits_before, wait_buckets(server));
  return result;
}

}  // namespace tooltest
