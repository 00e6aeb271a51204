#include "upload_sessions.h"

#include <reg_storage.h>

#include "core/fileutil.h"
#include "core/paths.h"
#include "digest.h"
#include "json_util.h"

#include <algorithm>

namespace tool {
namespace {

namespace platform = reg::platform;

constexpr std::string_view kClockName = "clock";  // rewritten by each expiry to read the time
constexpr size_t kUserKeyLen = 16;
constexpr size_t kMaxSessionFile = 64 * 1024;

// A digest prefix of the user name: a file name for any user, telling users apart.
std::string user_key(const std::string& user) {
  return sha256_digest(user).substr(reg::kDigestPrefix.size(), kUserKeyLen);
}

bool session_dir(reg::Path& out) {
  return reg::store_path({"uploads", reg::kUploadSessionDir}, out);
}

bool session_path(const std::string& uuid, const std::string& user, reg::Path& out) {
  return reg::uuid_valid(uuid.c_str()) &&
         reg::store_path({"uploads", reg::kUploadSessionDir, uuid + "." + user_key(user)}, out);
}

// The upload id of a session file's name, or "" for any other name.
std::string session_id(std::string_view name) {
  if (name.size() != reg::kUuidLen + 1 + kUserKeyLen || name[reg::kUuidLen] != '.') return "";
  std::string id(name.substr(0, reg::kUuidLen));
  return reg::uuid_valid(id.c_str()) ? id : "";
}

struct Census {
  size_t total = 0, mine = 0;
};

Census count_sessions(const std::string& key) {
  Census c;
  reg::Path dir;
  reg::dir_list list;
  if (!session_dir(dir) || reg::list_dir_all(dir.c_str(), &list) != 0) return c;
  for (const auto& e : list.entries) {
    if (e.is_dir || session_id(e.name).empty()) continue;
    ++c.total;
    if (std::string_view(e.name).ends_with(key)) ++c.mine;
  }
  return c;
}

std::string session_text(const std::string& repo, const std::string& user) {
  std::string out = "{\"repo\":\"";
  reg::json_escape_to(out, repo);
  out += "\",\"user\":\"";
  reg::json_escape_to(out, user);
  out += "\"}";
  return out;
}

bool read_all(platform::File& f, std::string& out) {
  char buf[4096];
  size_t got = 0;
  do {
    if (f.read(buf, sizeof buf, &got) != 0) return false;
    out.append(buf, got);
  } while (got > 0 && out.size() <= kMaxSessionFile);
  return out.size() <= kMaxSessionFile;
}

bool session_matches(platform::File& f, const std::string& repo, const std::string& user) {
  std::string text;
  if (!read_all(f, text)) return false;
  DocPtr doc = parse_json(text);
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  return yyjson_is_obj(root) && json_str(root, "repo") == repo && json_str(root, "user") == user;
}

// Whether the file locked through `held` is still the one at `path`: a removal on another
// host may come between the open and the lock, and the answer to a second open can come from
// this host's cache, so the check is a lock request, which the file's server decides.
bool still_there(const std::string& path) {
  std::unique_ptr<platform::File> probe;
  return platform::open_file(path.c_str(), platform::File::Mode::read, &probe) == 0 &&
         probe->try_lock(false) == platform::kErrBusy;  // refused by our own hold: same file
}

// Opens and locks the session file at `path`; null when it is not there (or, not waiting,
// when another request holds it).
std::unique_ptr<platform::File> lock_session(const std::string& path, bool wait) {
  std::unique_ptr<platform::File> f;
  if (platform::open_file(path.c_str(), platform::File::Mode::read, &f) != 0) return nullptr;
  if ((wait ? f->lock(true) : f->try_lock(true)) != 0 || !still_there(path)) return nullptr;
  return f;
}

// The store's time now, in Unix seconds: the last-write time of a file written just now, so
// that idle times compare file times set by one clock whatever this host's clock says.
bool store_now(const reg::Path& dir, std::int64_t& now) {
  reg::Path clock;
  platform::FileAttr a;
  return reg::child_path(dir, kClockName, clock) && reg::write_file(clock.c_str(), "", 0) == 0 &&
         platform::get_attr(clock.c_str(), &a) == 0 && reg::file_unix_time(a, &now);
}

// Latest last-write time of `path`, or `t` unchanged when it has none.
void latest_write(const reg::Path& path, std::int64_t& t) {
  platform::FileAttr a;
  std::int64_t w = 0;
  if (platform::get_attr(path.c_str(), &a) == 0 && reg::file_unix_time(a, &w)) t = std::max(t, w);
}

// When the upload of a session was last used: its session written, or a byte appended.
std::int64_t last_use(const reg::Path& session, const std::string& id) {
  std::int64_t t = 0;
  reg::Path part, finishing;
  latest_write(session, t);
  if (reg::upload_path_for_uuid(id, part)) latest_write(part, t);
  if (reg::store_path({"uploads", id + ".finishing"}, finishing)) latest_write(finishing, t);
  return t;
}

}  // namespace

bool UploadSessions::has_room(const std::string& user) const {
  Census c = count_sessions(user_key(user));
  return c.total < limits_.max_total && c.mine < limits_.max_per_user;
}

bool UploadSessions::open(const std::string& uuid, const std::string& repo,
                          const std::string& user) {
  reg::Path path, dir;
  if (!session_path(uuid, user, path) || !session_dir(dir)) return false;
  const std::string text = session_text(repo, user);
  // The directory is made on the first failure only: it stays once made.
  return reg::write_file(path.c_str(), text.data(), text.size()) == 0 ||
         (reg::mkdirs(dir.c_str()) == 0 &&
          reg::write_file(path.c_str(), text.data(), text.size()) == 0);
}

SessionHold UploadSessions::find(const std::string& uuid, const std::string& repo,
                                 const std::string& user) {
  SessionHold hold;
  reg::Path path;
  if (!session_path(uuid, user, path)) return hold;
  std::unique_ptr<platform::File> f = lock_session(path, true);
  if (!f || !session_matches(*f, repo, user)) return hold;
  hold.file_ = std::move(f);
  hold.path_ = path;
  return hold;
}

void UploadSessions::close(SessionHold& hold) {
  if (!hold) return;
  platform::remove_file(hold.path_.c_str());  // while still locked: no waiter goes on with it
  hold.file_.reset();
}

size_t UploadSessions::size() const { return count_sessions("").total; }

size_t UploadSessions::expire() {
  reg::Path dir;
  reg::dir_list list;
  std::int64_t now = 0;
  if (!session_dir(dir) || reg::list_dir_all(dir.c_str(), &list) != 0 || !store_now(dir, now))
    return 0;
  const std::int64_t idle = limits_.idle.count();
  size_t n = 0;
  for (const auto& e : list.entries) {
    std::string id = session_id(e.name);
    reg::Path path;
    if (e.is_dir || id.empty() || !reg::child_path(dir, e.name, path)) continue;
    if (now - last_use(path, id) < idle) continue;
    std::unique_ptr<platform::File> f = lock_session(path, false);
    if (!f || now - last_use(path, id) < idle) continue;  // in use, or used meanwhile
    reg_blob_cancel_upload(id.c_str());
    platform::remove_file(path.c_str());
    ++n;
  }
  return n;
}

}  // namespace tool
