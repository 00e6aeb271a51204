// The registry server's request handling with arbitrary methods, paths, query strings, headers
// and bodies, run in process over a real store (no sockets): the request is decoded as the
// server's HTTP layer decodes it, then authenticated, routed and answered. Never a crash, never a
// 5xx other than the documented 503, every error in the API's JSON form, every 401 with its
// challenge, no CR or LF in a response header, and nothing written beside the store root.
//
// Input: fields split at 0xFF: flags+method, target, headers ("Name: value" lines), body.
// The first byte's bit 0 turns on htpasswd users (fuzz/fuzz, bcrypt), bit 1 read-only; the rest
// of the first field is the method, or when empty one of the API's methods by the high bits.
#include <yyjson.h>

#include "fuzz_common.h"
#include "reg_storage.h"
#include "http_message.h"
#include "server_context.h"
#include "server_security.h"

#include <filesystem>
#include <fstream>
#include <memory>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr const char* kMethods[] = {"GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "OPTIONS"};
constexpr int kRunsPerStore = 1024;  // then the store starts afresh, so the disk stays small

struct World {
  std::string root;
  tool::Htpasswd users;
  std::unique_ptr<tool::ServerContext> ctx;
  int runs = 0;
};

void fresh_store(World& w) {
  reg_storage_cleanup();
  fs::remove_all(w.root);
  if (reg_storage_init(w.root.c_str()) != 0) std::abort();
  w.ctx = std::make_unique<tool::ServerContext>();
  w.ctx->root = w.root;
  w.ctx->gc_wait_ms = 0;
}

void set_up(World& w) {
  w.root = fuzz::make_root();
  std::string users = fs::path(w.root).parent_path().string() + "-users";
  // `htpasswd -nbB -C 4 fuzz fuzz`; the cheapest cost keeps a run with a valid header fast.
  std::ofstream(users) << "fuzz:$2y$04$8N8x7.vEvFpble0eN6hkYORV8LvQyUH/4QCzWw7a.4xhCtTBdW31G\n";
  std::string error;
  if (!w.users.load(users, error)) std::abort();
  fresh_store(w);
}

World& world() {
  static World w;
  static const bool ready = (set_up(w), true);
  (void)ready;
  return w;
}

void set_headers(tool::HttpRequest& req, const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) continue;
    size_t v = line.find_first_not_of(' ', colon + 1);
    req.headers.emplace(line.substr(0, colon), v == std::string::npos ? "" : line.substr(v));
  }
}

// Reads a streamed body the way the server would send it, so the file reads run too.
void drain_file(const tool::HttpResponse& res) {
  if (!res.file) return;
  char buf[65536];
  long long left = res.file->length;
  while (left > 0) {
    ssize_t n = pread(res.file->fd, buf, sizeof buf, res.file->offset + res.file->length - left);
    if (n <= 0) return;
    left -= n;
  }
}

void check_response(const tool::HttpResponse& res) {
  if (res.status < 100 || res.status > 599) std::abort();
  if (res.status >= 500 && res.status != 503) std::abort();
  for (const auto& [name, value] : res.headers)
    if (value.find_first_of("\r\n") != std::string::npos ||
        name.find_first_of("\r\n:") != std::string::npos)
      std::abort();
  if (res.status == 401 && res.get_header_value("WWW-Authenticate").rfind("Basic realm=", 0) != 0)
    std::abort();
  if (res.status < 400) return;
  yyjson_doc* doc = yyjson_read(res.body.data(), res.body.size(), 0);
  yyjson_val* first = yyjson_arr_get_first(yyjson_obj_get(yyjson_doc_get_root(doc), "errors"));
  bool ok = yyjson_is_str(yyjson_obj_get(first, "code")) &&
            yyjson_is_str(yyjson_obj_get(first, "message"));
  yyjson_doc_free(doc);
  if (!ok) std::abort();
}

// Only the store may appear beside itself in the fuzzer's own directory.
void check_nothing_beside_root(const World& w) {
  for (const auto& e : fs::directory_iterator(fs::path(w.root).parent_path()))
    if (e.path() != fs::path(w.root)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& w = world();
  if (++w.runs % kRunsPerStore == 0) {
    check_nothing_beside_root(w);
    fresh_store(w);
  }
  auto f = fuzz::split_fields(data, size, 4);
  unsigned flags = f[0].empty() ? 0 : static_cast<unsigned char>(f[0][0]);
  tool::HttpRequest req;
  req.method = f[0].size() > 1 ? f[0].substr(1) : kMethods[(flags >> 2) % 7];
  if (!tool::set_request_target(req, f[1])) return 0;
  set_headers(req, f[2]);
  w.ctx->users = (flags & 1) ? &w.users : nullptr;
  w.ctx->read_only = (flags & 2) != 0;
  const std::string& body = f[3];
  bool has_body = req.method == "POST" || req.method == "PUT" || req.method == "PATCH";
  tool::BodyReader reader = [&body, has_body](const tool::BodyReceiver& receive) {
    if (!has_body) return true;
    size_t half = body.size() / 2;  // two pieces, as a body arrives over the network
    return receive(body.data(), half) && receive(body.data() + half, body.size() - half);
  };
  tool::HttpResponse res;
  tool::dispatch_request(*w.ctx, req, res, reader);
  drain_file(res);
  check_response(res);
  return 0;
}
