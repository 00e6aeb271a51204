#include "support/test_support.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/context.h"
#include "core/paths.h"
#include "core/sha256.h"
#include "platform/fault.h"
#include "reg_storage.h"

namespace regtest {

TempDir::TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "regtest-XXXXXX").string();
  char* made = mkdtemp(tmpl.data());
  if (!made) throw std::runtime_error("mkdtemp failed");
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

void StoreTest::SetUp() {
  reg::fault::disarm();
  reg::fault::reset_counts();
  reg_tag_protection_set(nullptr);
  root_ = (tmp_.path() / "store").string();
  ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
}

void StoreTest::TearDown() {
  reg::fault::disarm();
  reg::fault::reset_counts();
  reg_tag_protection_set(nullptr);
  reg_storage_cleanup();
}

std::map<std::string, std::string> snapshot_tree(const fs::path& dir) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  if (!fs::exists(dir, ec)) return out;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const auto rel = fs::relative(it->path(), dir).string();
    if (it->is_directory() && !it->is_symlink())
      out[rel] = "<dir>";
    else if (it->is_symlink())
      out[rel] = "<link>";
    else
      out[rel] = read_all(it->path());
  }
  return out;
}

std::string read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_all(const fs::path& p, const std::string& data) {
  fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string digest_of(const std::string& data) { return reg::sha256_digest(data); }

std::string put_blob(const std::string& data) {
  char id[37];
  EXPECT_EQ(reg_blob_start_upload(id), 0) << reg_storage_last_error();
  EXPECT_EQ(reg_blob_append_chunk(id, data.data(), data.size()), 0) << reg_storage_last_error();
  char out[72];
  const std::string d = digest_of(data);
  EXPECT_EQ(reg_blob_finish_upload(id, d.c_str(), out), 0) << reg_storage_last_error();
  return d;
}

std::string testdata_dir() {
  std::error_code ec;
  return fs::is_directory(REG_TESTDATA_DIR, ec) ? std::string(REG_TESTDATA_DIR) : std::string();
}

}  // namespace regtest
