#include "soak_workload.h"

#include "digest.h"

#include <chrono>
#include <thread>

namespace soak {
namespace {

constexpr int kRetries503 = 20;  // a push waits out a long collection rather than give up
constexpr const char* kManifestType = "application/vnd.oci.image.manifest.v1+json";
constexpr const char* kOctets = "application/octet-stream";

std::string describe(const httplib::Result& r) {
  if (!r) return "no response (" + httplib::to_string(r.error()) + ")";
  return std::to_string(r->status) + " " + r->body.substr(0, 200);
}

std::string manifest_json(const std::string& config, size_t config_size,
                          const std::vector<std::pair<std::string, size_t>>& layers) {
  std::string out =
      std::string(R"({"schemaVersion":2,"mediaType":")") + kManifestType +
      R"(","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":")" + config +
      R"(","size":)" + std::to_string(config_size) + R"(},"layers":[)";
  for (size_t i = 0; i < layers.size(); ++i) {
    if (i) out += ',';
    out += R"({"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":")" + layers[i].first +
           R"(","size":)" + std::to_string(layers[i].second) + "}";
  }
  return out + "]}";
}

}  // namespace

void Tally::count(int status) {
  ++requests_;
  std::lock_guard<std::mutex> l(m_);
  ++by_status_[status];
}

void Tally::unexpected(const std::string& what) {
  std::lock_guard<std::mutex> l(m_);
  ++problem_total_;
  if (problems_.size() < 20) problems_.push_back(what);
}

long long Tally::count_of(int lo, int hi) const {
  std::lock_guard<std::mutex> l(m_);
  long long n = 0;
  for (auto [status, count] : by_status_)
    if (status >= lo && status <= hi) n += count;
  return n;
}

std::vector<std::string> Tally::problems() const {
  std::lock_guard<std::mutex> l(m_);
  return problems_;
}

size_t Tally::problem_count() const {
  std::lock_guard<std::mutex> l(m_);
  return problem_total_;
}

std::map<int, long long> Tally::statuses() const {
  std::lock_guard<std::mutex> l(m_);
  return by_status_;
}

void Ledger::add(Push p) {
  std::lock_guard<std::mutex> l(m_);
  index_[p.digest] = pushes_.size();
  pushes_.push_back(std::move(p));
}

bool Ledger::take_for_delete(std::mt19937& rng, size_t keep, Push& out) {
  std::lock_guard<std::mutex> l(m_);
  std::vector<size_t> live;
  for (size_t i = 0; i < pushes_.size(); ++i)
    if (pushes_[i].state == State::live) live.push_back(i);
  if (live.size() <= keep) return false;
  Push& p = pushes_[live[rng() % live.size()]];
  p.state = State::deleting;  // before the request: a pull failing from now on is expected
  out = p;
  return true;
}

void Ledger::mark_deleted(const std::string& digest) {
  std::lock_guard<std::mutex> l(m_);
  pushes_[index_.at(digest)].state = State::deleted;
}

bool Ledger::pick_live(std::mt19937& rng, Push& out) const {
  std::lock_guard<std::mutex> l(m_);
  for (int tries = 0; tries < 8 && !pushes_.empty(); ++tries) {
    const Push& p = pushes_[rng() % pushes_.size()];
    if (p.state != State::live) continue;
    out = p;
    return true;
  }
  return false;
}

bool Ledger::is_live(const std::string& digest) const {
  std::lock_guard<std::mutex> l(m_);
  return pushes_[index_.at(digest)].state == State::live;
}

std::vector<Push> Ledger::all() const {
  std::lock_guard<std::mutex> l(m_);
  return pushes_;
}

Worker::Worker(int port, Tally& tally, Ledger& ledger, unsigned seed)
    : cli_("127.0.0.1", port), tally_(tally), ledger_(ledger), rng_(seed) {
  cli_.set_read_timeout(120);
  cli_.set_keep_alive(true);
}

// Sends until the answer is not a 503 (the server's documented "collection running").
httplib::Result Worker::send(const std::string& what,
                             const std::function<httplib::Result()>& call) {
  for (int attempt = 0;; ++attempt) {
    httplib::Result r = call();
    tally_.count(r ? r->status : 0);
    if (!r)
      tally_.unexpected(what + ": " + describe(r));
    else if (r->status >= 500 && r->status != 503)
      tally_.unexpected(what + ": " + describe(r));
    if (!r || r->status != 503 || attempt == kRetries503) return r;
    std::this_thread::sleep_for(std::chrono::milliseconds(200 + rng_() % 300));
  }
}

std::string Worker::blob_data(int id, int n) {
  size_t size = rng_() % 20 == 0 ? (1 << 20) + rng_() % (1 << 20) : rng_() % (64 << 10);
  std::string data = "blob " + std::to_string(id) + "/" + std::to_string(n) + " ";
  data.resize(data.size() + size);
  for (size_t i = data.size() - size; i < data.size(); ++i) data[i] = static_cast<char>(rng_());
  return data;
}

// Monolithic upload; false when it did not land (a 503 outlasted the retries, or a problem
// already tallied).
bool Worker::put_blob(const std::string& repo, const std::string& data, std::string& digest) {
  digest = tool::sha256_digest(data);
  std::string path = "/v2/" + repo + "/blobs/uploads/?digest=" + digest;
  auto r = send("POST " + path, [&] { return cli_.Post(path.c_str(), data, kOctets); });
  if (r && r->status != 201 && r->status != 503)
    tally_.unexpected("POST " + path + ": " + describe(r));
  return r && r->status == 201;
}

// Session, two PATCHes with Content-Range, then PUT; the session is cancelled on failure so
// that it never holds collections off.
bool Worker::put_blob_chunked(const std::string& repo, const std::string& data,
                              const std::string& digest) {
  std::string start = "/v2/" + repo + "/blobs/uploads/";
  auto r = send("POST " + start, [&] { return cli_.Post(start.c_str(), "", 0, kOctets); });
  if (!r || r->status != 202) return r && r->status == 503;
  std::string loc = r->get_header_value("Location");
  size_t half = data.size() / 2;
  bool ok = true;
  for (const auto& piece : {std::pair{size_t{0}, half}, std::pair{half, data.size() - half}}) {
    const size_t from = piece.first, len = piece.second;  // named: lambdas below capture them
    if (!ok || len == 0) continue;
    httplib::Headers h{
        {"Content-Range", std::to_string(from) + "-" + std::to_string(from + len - 1)}};
    auto p = send("PATCH " + loc,
                  [&] { return cli_.Patch(loc.c_str(), h, data.data() + from, len, kOctets); });
    ok = p && p->status == 202;
    if (!ok) tally_.unexpected("PATCH " + loc + ": " + describe(p));
  }
  if (ok) {
    std::string put = loc + "?digest=" + digest;
    auto f = send("PUT " + put, [&] { return cli_.Put(put.c_str(), "", 0, kOctets); });
    if (f && f->status == 201) return true;
    if (!f || f->status != 503) tally_.unexpected("PUT " + put + ": " + describe(f));
  }
  send("DELETE " + loc, [&] { return cli_.Delete(loc.c_str()); });
  return false;
}

void Worker::push_image(int id) {
  Push p;
  p.repo = "soak/r" + std::to_string(id % 4);
  p.tag = "t" + std::to_string(id);
  std::vector<std::pair<std::string, size_t>> layers;
  std::string config = "{\"id\":" + std::to_string(id) + "}", config_digest;
  // A base layer shared by many images, so deletions and collections meet shared blobs.
  std::string base = "base layer " + std::to_string(id % 5);
  std::vector<std::string> contents = {base, blob_data(id, 1)};
  if (rng_() % 2) contents.push_back(blob_data(id, 2));
  for (int attempt = 0; attempt < 3; ++attempt) {
    layers.clear();
    if (!put_blob(p.repo, config, config_digest)) return;
    for (const std::string& c : contents) {
      std::string d = tool::sha256_digest(c);
      bool ok = rng_() % 8 == 0 ? put_blob_chunked(p.repo, c, d) : put_blob(p.repo, c, d);
      if (!ok) return;
      layers.emplace_back(d, c.size());
    }
    p.body = manifest_json(config_digest, config.size(), layers);
    std::string path = "/v2/" + p.repo + "/manifests/" + p.tag;
    auto r = send("PUT " + path, [&] { return cli_.Put(path.c_str(), p.body, kManifestType); });
    if (r && r->status == 201) {
      p.digest = tool::sha256_digest(p.body);
      p.blobs = {config_digest};
      for (const auto& l : layers) p.blobs.push_back(l.first);
      ledger_.add(std::move(p));
      return;
    }
    // Blobs collected between their upload and the manifest: refused, so push again.
    bool collected =
        r && r->status == 400 && r->body.find("MANIFEST_BLOB_UNKNOWN") != std::string::npos;
    if (!collected) {
      if (!r || r->status != 503) tally_.unexpected("PUT " + path + ": " + describe(r));
      return;
    }
  }
}

std::string Worker::verify(const Push& p) {
  std::string path = "/v2/" + p.repo + "/manifests/" + p.tag;
  auto m = send("GET " + path, [&] { return cli_.Get(path.c_str()); });
  if (!m || m->status != 200 || m->body != p.body ||
      m->get_header_value("Docker-Content-Digest") != p.digest)
    return "GET " + path + ": " + describe(m);
  for (const std::string& d : p.blobs) {
    std::string bp = "/v2/" + p.repo + "/blobs/" + d;
    auto b = send("GET " + bp, [&] { return cli_.Get(bp.c_str()); });
    if (!b || b->status != 200 || tool::sha256_digest(b->body) != d)
      return "GET " + bp + ": " + describe(b);
  }
  return "";
}

void Worker::pull_one() {
  Push p;
  if (!ledger_.pick_live(rng_, p)) return;
  std::string failure = verify(p);
  if (!failure.empty() && ledger_.is_live(p.digest))
    tally_.unexpected("acknowledged push not pullable: " + failure);
}

void Worker::delete_one(size_t keep) {
  Push p;
  if (!ledger_.take_for_delete(rng_, keep, p)) return;
  std::string path = "/v2/" + p.repo + "/manifests/" + p.digest;
  auto r = send("DELETE " + path, [&] { return cli_.Delete(path.c_str()); });
  if (!r || r->status != 202) tally_.unexpected("DELETE " + path + ": " + describe(r));
  ledger_.mark_deleted(p.digest);
  auto gone = send("GET " + path, [&] { return cli_.Get(path.c_str()); });
  if (!gone || gone->status != 404)
    tally_.unexpected("deleted manifest still served: " + describe(gone));
  // An orphan blob, deleted again straight away (a collection may beat the DELETE to it).
  std::string orphan, data = "orphan of " + p.digest;
  if (!put_blob(p.repo, data, orphan)) return;
  std::string bp = "/v2/" + p.repo + "/blobs/" + orphan;
  auto b = send("DELETE " + bp, [&] { return cli_.Delete(bp.c_str()); });
  if (!b || (b->status != 202 && b->status != 404))
    tally_.unexpected("DELETE " + bp + ": " + describe(b));
}

void Worker::list_once() {
  for (const char* path : {"/v2/_catalog?n=3", "/v2/soak/r1/tags/list?n=20", "/v2/"}) {
    auto r = send(std::string("GET ") + path, [&] { return cli_.Get(path); });
    if (!r || r->status != 200) tally_.unexpected(std::string("GET ") + path + ": " + describe(r));
  }
}

}  // namespace soak
