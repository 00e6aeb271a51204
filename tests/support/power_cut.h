// A power-cut model of the disk under a store, for tests. While attached it keeps a durable
// image of the tree below a root: each file's content as of its last sync, each directory's
// entries as of its last directory sync (everything as found when the model started counts
// as synced). A cut keeps only that image: data written since a file's last sync is lost (a
// file never synced is empty), and names created, renamed or removed since their directory's
// last sync are undone. The platform layer reports creations and syncs (fault::DiskObserver);
// files are told apart by their inode, so a rename keeps a file's identity.
//
// Every change of the image is kept with the platform call index at which it happened, so a
// test runs its operations once and then rebuilds the disk as a cut at any call left it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fault.h"

namespace regtest {

struct DurableImage {
  struct Entry {
    std::uint64_t node = 0;
    bool dir = false;
  };
  std::uint64_t root = 0;
  std::map<std::uint64_t, std::shared_ptr<const std::string>> data;  // files
  std::map<std::uint64_t, std::map<std::string, Entry>> entries;      // directories
};

// The image from the moment a call completed: cuts at later calls keep it.
struct Checkpoint {
  std::uint64_t call = 0;  // platform call index (call_counts().total()) of the change
  DurableImage image;
};

class PowerCutModel : public reg::fault::DiskObserver {
 public:
  // Takes `root` as it is now as durable and starts observing.
  explicit PowerCutModel(const std::filesystem::path& root);
  ~PowerCutModel() override;
  PowerCutModel(const PowerCutModel&) = delete;
  PowerCutModel& operator=(const PowerCutModel&) = delete;

  void stop();  // observes no more
  // Every image in order, the first from the start.
  const std::vector<Checkpoint>& history() const { return history_; }
  // The image a cut just before call `call` keeps.
  const DurableImage& image_before(std::uint64_t call) const;
  // Writes `im` as a new tree at `dest`, which must not exist.
  static void rebuild(const DurableImage& im, const std::filesystem::path& dest);

  void file_created(int fd) override;
  void file_truncated(int fd) override;
  void dir_created(int parent_fd, const char* name) override;
  void file_synced(int fd) override;
  void dir_synced(int fd) override;

 private:
  using Inode = std::pair<dev_t, ino_t>;
  std::uint64_t node_of(const Inode& ino);
  std::uint64_t fresh_node(const Inode& ino);
  void snapshot_dir(const std::filesystem::path& dir, std::uint64_t node);
  void changed();

  std::mutex mu_;
  bool observing_ = false;
  std::uint64_t next_node_ = 1;
  std::map<Inode, std::uint64_t> live_;  // the node each inode now stands for
  DurableImage now_;
  std::vector<Checkpoint> history_;
};

}  // namespace regtest
