// Shared fixtures and helpers for the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace regtest {

namespace fs = std::filesystem;

// A fresh temporary directory, removed at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const fs::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  fs::path path_;
};

// A fixture with an initialised store at root() (a "store" directory inside a temp dir, so
// that tests can check nothing appears beside it).
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string root() const { return root_; }
  fs::path rootp() const { return fs::path(root_); }

  TempDir tmp_;
  std::string root_;
};

// Every path below `dir` (relative) with its file content ("<dir>" for directories).
std::map<std::string, std::string> snapshot_tree(const fs::path& dir);

std::string read_all(const fs::path& p);
void write_all(const fs::path& p, const std::string& data);

// sha256 of `data` as "sha256:<hex>".
std::string digest_of(const std::string& data);

// Uploads `data` as a blob through the public API; returns its digest.
std::string put_blob(const std::string& data);

// Path of the shared test data (REG_TESTDATA_DIR) or "" when absent.
std::string testdata_dir();

}  // namespace regtest
