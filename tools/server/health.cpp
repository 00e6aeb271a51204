// The operational endpoints: `/healthz` (the process serves), `/readyz` (the store can be
// used) and `/metrics`.
#include "server_context.h"
#include "server_errors.h"

#include <sys/stat.h>
#include <unistd.h>

namespace tool {
namespace {

void send_text(HttpResponse& res, int status, std::string body) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(std::move(body), "text/plain; charset=utf-8");
}

// "" when the storage root is a directory this process can write to, or the registry is
// read-only by choice; else why not.
std::string store_unready(const ServerContext& ctx) {
  struct stat st;
  if (::stat(ctx.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return "the storage root is not reachable";
  // Catches a file system remounted read-only as well as lost permissions.
  if (!ctx.read_only && ::access(ctx.root.c_str(), W_OK) != 0)
    return "the storage root is not writable";
  return "";
}

bool get_or_head(const HttpRequest& req, HttpResponse& res) {
  if (req.method == "GET" || req.method == "HEAD") return true;
  send_error(res, 405, "UNSUPPORTED", "method not allowed");
  return false;
}

}  // namespace

bool handle_probe(ServerContext& ctx, const HttpRequest& req, HttpResponse& res) {
  if (req.path == "/healthz") {
    if (get_or_head(req, res)) send_text(res, 200, "ok\n");
    return true;
  }
  if (req.path == "/readyz") {
    if (!get_or_head(req, res)) return true;
    std::string why = store_unready(ctx);
    if (why.empty())
      send_text(res, 200, ctx.read_only ? "ready (read-only)\n" : "ready\n");
    else
      send_text(res, 503, "not ready: " + why + "\n");
    return true;
  }
  return false;
}

void handle_metrics(ServerContext& ctx, const HttpRequest& req, HttpResponse& res) {
  if (!get_or_head(req, res)) return;
  if (ctx.metrics == nullptr) {
    send_error(res, 404, "NOT_FOUND", "no such endpoint");
    return;
  }
  res.status = 200;
  res.set_header("Cache-Control", "no-store");
  res.set_content(ctx.metrics->render(ctx.gauges), "text/plain; version=0.0.4; charset=utf-8");
}

}  // namespace tool
