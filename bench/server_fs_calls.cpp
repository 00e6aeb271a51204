// Counts the file-system calls, by kind, that the server makes for one blob push (POST, PATCH,
// PUT), one manifest push and one collection: on a shared store each is a network round trip.
// The requests run in process through the server's dispatcher; the counts are the platform
// layer's. The store lock's few fcntl calls per push lie outside that layer and are not in them.
//
// Usage: server_fs_calls [STORE_DIR] [IMAGES]. The collection runs over IMAGES images of two
// blobs each (default 100) plus one unreferenced blob.
#include <reg_storage.h>

#include "digest.h"
#include "platform/call_counts.h"
#include "server_context.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <unistd.h>

namespace {

tool::HttpResponse request(tool::ServerContext& ctx, const std::string& method,
                           const std::string& target, const std::string& body = "",
                           const std::string& type = "application/octet-stream") {
  tool::HttpRequest req;
  req.method = method;
  tool::set_request_target(req, target);
  if (!body.empty()) {
    req.headers.emplace("Content-Length", std::to_string(body.size()));
    req.headers.emplace("Content-Type", type);
  }
  tool::HttpResponse res;
  tool::dispatch_request(ctx, req, res, [&](const tool::BodyReceiver& receive) {
    return body.empty() || receive(body.data(), body.size());
  });
  return res;
}

// A chunked push of `content` to `repo`, as clients do it: POST, one PATCH, PUT ?digest=.
bool push_blob(tool::ServerContext& ctx, const std::string& repo, const std::string& content) {
  auto start = request(ctx, "POST", "/v2/" + repo + "/blobs/uploads/");
  std::string loc = start.get_header_value("Location");
  if (start.status != 202) return false;
  auto patch = request(ctx, "PATCH", loc, content);
  if (patch.status != 202) return false;
  return request(ctx, "PUT", loc + "?digest=" + tool::sha256_digest(content)).status == 201;
}

std::string manifest_for(const std::string& config, const std::string& layer) {
  auto desc = [](const char* type, const std::string& c) {
    return std::string("{\"mediaType\":\"") + type + "\",\"digest\":\"" + tool::sha256_digest(c) +
           "\",\"size\":" + std::to_string(c.size()) + "}";
  };
  return "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
         "\"config\":" +
         desc("application/vnd.oci.image.config.v1+json", config) + ",\"layers\":[" +
         desc("application/vnd.oci.image.layer.v1.tar", layer) + "]}";
}

bool push_image(tool::ServerContext& ctx, const std::string& repo, int i) {
  const std::string config = "{\"n\":" + std::to_string(i) + "}";
  const std::string layer = "layer " + std::to_string(i);
  return push_blob(ctx, repo, config) && push_blob(ctx, repo, layer) &&
         request(ctx, "PUT", "/v2/" + repo + "/manifests/v" + std::to_string(i),
                 manifest_for(config, layer), "application/vnd.oci.image.manifest.v1+json")
                 .status == 201;
}

reg::platform::CallCounts g_before;

void start_counting() { g_before = reg::platform::call_counts(); }

void report(const char* what) {
  const reg::platform::CallCounts c = reg::platform::call_counts() - g_before;
  const std::pair<const char*, std::uint64_t> kinds[] = {
      {"stat", c.stats},     {"list", c.listings},  {"mkdir", c.mkdirs}, {"rmdir", c.rmdirs},
      {"unlink", c.unlinks}, {"rename", c.renames}, {"open", c.opens},   {"read", c.reads},
      {"write", c.writes},   {"close", c.closes},   {"lock", c.locks},   {"sync", c.syncs()}};
  std::printf("%-30s total %4llu:", what, static_cast<unsigned long long>(c.total()));
  for (const auto& [name, n] : kinds)
    if (n) std::printf(" %s %llu", name, static_cast<unsigned long long>(n));
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string root =
      argc > 1 ? argv[1]
               : (std::filesystem::temp_directory_path() / ("fs-calls-" + std::to_string(getpid())))
                     .string();
  const int images = argc > 2 ? std::atoi(argv[2]) : 100;
  if (reg_storage_init(root.c_str()) != 0) {
    std::fprintf(stderr, "cannot open the store %s: %s\n", root.c_str(), reg_storage_last_error());
    return 1;
  }
  tool::ServerContext ctx;
  ctx.root = root;
  for (int i = 0; i < images; ++i)
    if (!push_image(ctx, "bench/app", i)) {
      std::fprintf(stderr, "push %d failed\n", i);
      return 1;
    }
  const std::string config = "{\"n\":\"counted\"}", layer = "counted layer";
  start_counting();
  if (!push_blob(ctx, "bench/app", layer)) return 1;
  report("blob push (POST, PATCH, PUT)");
  push_blob(ctx, "bench/app", config);
  start_counting();
  if (request(ctx, "PUT", "/v2/bench/app/manifests/counted", manifest_for(config, layer),
              "application/vnd.oci.image.manifest.v1+json")
          .status != 201)
    return 1;
  report("manifest push (PUT by tag)");
  push_blob(ctx, "bench/app", "unreferenced");
  start_counting();
  const char* summary = reg_gc_json(0);
  report("collection");
  std::printf("  over %d images: %s\n", images + 1, summary ? summary : reg_storage_last_error());
  reg_storage_cleanup();
  if (argc <= 1) std::filesystem::remove_all(root);
  return 0;
}
