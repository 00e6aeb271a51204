#include "support/power_cut.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <stdexcept>

#include "platform/call_counts.h"

namespace regtest {
namespace {

namespace fs = std::filesystem;

struct stat stat_fd(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) throw std::runtime_error("power-cut model: fstat failed");
  return st;
}

// The file's whole content, also through a descriptor opened for writing only.
std::string content_of(int fd) {
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  const int rd = open(proc.c_str(), O_RDONLY | O_CLOEXEC);
  if (rd < 0) throw std::runtime_error("power-cut model: cannot reopen " + proc);
  std::string out;
  char buf[65536];
  for (ssize_t n; (n = read(rd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  close(rd);
  return out;
}

void write_tree(const DurableImage& im, std::uint64_t dir, const fs::path& at,
                std::set<std::uint64_t>& on_path) {
  fs::create_directory(at);
  const auto it = im.entries.find(dir);
  // A directory named from two images taken at different times could contain itself.
  if (it == im.entries.end() || !on_path.insert(dir).second) return;
  for (const auto& [name, e] : it->second) {
    if (e.dir) {
      write_tree(im, e.node, at / name, on_path);
      continue;
    }
    const auto d = im.data.find(e.node);
    std::ofstream out(at / name, std::ios::binary);
    if (d != im.data.end()) out.write(d->second->data(), static_cast<std::streamsize>(d->second->size()));
  }
  on_path.erase(dir);
}

}  // namespace

PowerCutModel::PowerCutModel(const fs::path& root) {
  struct stat st {};
  if (lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw std::runtime_error("power-cut model: no directory " + root.string());
  now_.root = fresh_node({st.st_dev, st.st_ino});
  snapshot_dir(root, now_.root);
  history_.push_back({reg::platform::call_counts().total(), now_});
  observing_ = true;
  reg::fault::set_disk_observer(this);
}

PowerCutModel::~PowerCutModel() { stop(); }

void PowerCutModel::stop() {
  if (!observing_) return;
  reg::fault::set_disk_observer(nullptr);
  observing_ = false;
}

void PowerCutModel::snapshot_dir(const fs::path& dir, std::uint64_t node) {
  auto& entries = now_.entries[node];
  for (const auto& de : fs::directory_iterator(dir)) {
    struct stat st {};
    if (lstat(de.path().c_str(), &st) != 0) continue;
    const bool is_dir = S_ISDIR(st.st_mode);
    if (!is_dir && !S_ISREG(st.st_mode)) continue;
    const std::uint64_t child = fresh_node({st.st_dev, st.st_ino});
    entries[de.path().filename().string()] = {child, is_dir};
    if (is_dir) {
      snapshot_dir(de.path(), child);
    } else {
      std::ifstream in(de.path(), std::ios::binary);
      now_.data[child] = std::make_shared<const std::string>(std::istreambuf_iterator<char>(in),
                                                             std::istreambuf_iterator<char>());
    }
  }
}

std::uint64_t PowerCutModel::fresh_node(const Inode& ino) { return live_[ino] = next_node_++; }

std::uint64_t PowerCutModel::node_of(const Inode& ino) {
  const auto it = live_.find(ino);
  return it != live_.end() ? it->second : fresh_node(ino);
}

void PowerCutModel::changed() {
  history_.push_back({reg::platform::call_counts().total(), now_});
}

const DurableImage& PowerCutModel::image_before(std::uint64_t call) const {
  // The last change made by a call before `call`.
  auto it = std::upper_bound(history_.begin(), history_.end(), call,
                             [](std::uint64_t c, const Checkpoint& cp) { return c <= cp.call; });
  return it == history_.begin() ? history_.front().image : std::prev(it)->image;
}

void PowerCutModel::rebuild(const DurableImage& im, const fs::path& dest) {
  if (fs::exists(dest)) throw std::runtime_error("power-cut model: " + dest.string() + " exists");
  std::set<std::uint64_t> on_path;
  write_tree(im, im.root, dest, on_path);
}

// A new name gets a new node even when the system hands out a freed inode number again: the
// image may still hold the old file under its old name.
void PowerCutModel::file_created(int fd) {
  const struct stat st = stat_fd(fd);
  std::lock_guard<std::mutex> lock(mu_);
  fresh_node({st.st_dev, st.st_ino});
}

void PowerCutModel::dir_created(int parent_fd, const char* name) {
  struct stat st {};
  if (fstatat(parent_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  std::lock_guard<std::mutex> lock(mu_);
  fresh_node({st.st_dev, st.st_ino});
}

// Emptying a file reaches the disk before the data written after it (the zero-length files
// of a cut): the model takes the worst case at once.
void PowerCutModel::file_truncated(int fd) {
  const struct stat st = stat_fd(fd);
  std::lock_guard<std::mutex> lock(mu_);
  now_.data[node_of({st.st_dev, st.st_ino})] = std::make_shared<const std::string>();
  changed();
}

void PowerCutModel::file_synced(int fd) {
  const struct stat st = stat_fd(fd);
  auto data = std::make_shared<const std::string>(content_of(fd));
  std::lock_guard<std::mutex> lock(mu_);
  now_.data[node_of({st.st_dev, st.st_ino})] = std::move(data);
  changed();
}

void PowerCutModel::dir_synced(int fd) {
  const struct stat dst = stat_fd(fd);
  const int dfd = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) throw std::runtime_error("power-cut model: cannot list a synced directory");
  std::unique_ptr<DIR, int (*)(DIR*)> d(fdopendir(dfd), closedir);
  if (!d) {
    close(dfd);
    throw std::runtime_error("power-cut model: cannot list a synced directory");
  }
  std::lock_guard<std::mutex> lock(mu_);
  std::map<std::string, DurableImage::Entry> entries;
  while (const dirent* e = readdir(d.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) continue;
    entries[name] = {node_of({st.st_dev, st.st_ino}), S_ISDIR(st.st_mode)};
  }
  now_.entries[node_of({dst.st_dev, dst.st_ino})] = std::move(entries);
  changed();
}

}  // namespace regtest
