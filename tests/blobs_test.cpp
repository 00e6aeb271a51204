// Stored blobs: existence, size, file path and removal.
#include <cctype>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "reg_storage.h"
#include "support/test_support.h"

namespace {

using namespace regtest;

class BlobsTest : public StoreTest {
 protected:
  fs::path blob_file(const std::string& digest) const {
    const std::string hex = digest.substr(7);
    return rootp() / "blobs" / "sha256" / hex.substr(0, 2) / hex;
  }
};

// The four operations as calls that each return -1 on refusal.
struct Op4 {
  const char* name;
  std::function<long long(const char* digest)> call;
  const char* null_message;
};

std::vector<Op4> operations() {
  static char path[4096];
  return {
      {"exists", [](const char* d) { return reg_blob_exists(d); }, "digest is NULL"},
      {"get_size", [](const char* d) { return reg_blob_get_size(d); }, "digest is NULL"},
      {"get_filepath", [](const char* d) { return reg_blob_get_filepath(d, path, sizeof path); },
       "NULL argument"},
      {"delete", [](const char* d) { return reg_blob_delete(d); }, "digest is NULL"},
  };
}

TEST_F(BlobsTest, RefusedArgumentsRecordTheirMessageAndChangeNothing) {
  const std::string d = put_blob("stored");
  std::string upper = d;
  for (std::size_t i = 7; i < upper.size(); ++i)
    upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[i])));
  const std::vector<std::string> malformed = {
      upper, d.substr(7), "sha512:" + d.substr(7), d.substr(0, 70), d + "0", "", "sha256:"};
  const auto before = snapshot_tree(tmp_.path());
  for (const Op4& op : operations()) {
    SCOPED_TRACE(op.name);
    EXPECT_EQ(op.call(nullptr), -1);
    EXPECT_STREQ(reg_storage_last_error(), op.null_message);
    for (const std::string& bad : malformed) {
      EXPECT_EQ(op.call(bad.c_str()), -1) << bad;
      EXPECT_STREQ(reg_storage_last_error(), "invalid digest");
    }
  }
  char path[8];
  EXPECT_EQ(reg_blob_get_filepath(d.c_str(), nullptr, 100), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  EXPECT_EQ(reg_blob_get_filepath(d.c_str(), path, 0), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");

  reg_storage_cleanup();
  for (const Op4& op : operations()) {
    SCOPED_TRACE(op.name);
    EXPECT_EQ(op.call(d.c_str()), -1);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
    EXPECT_EQ(op.call(nullptr), -1);  // the null check comes first
    EXPECT_STREQ(reg_storage_last_error(), op.null_message);
  }
  EXPECT_EQ(snapshot_tree(tmp_.path()), before);
}

TEST_F(BlobsTest, LookupsOfStoredAndMissingBlobs) {
  const std::string empty = put_blob(""), some = put_blob(std::string(1000, 'x'));
  const std::string missing = digest_of("never uploaded");
  EXPECT_EQ(reg_blob_delete(nullptr), -1);  // a message the quiet answers must leave alone
  EXPECT_EQ(reg_blob_exists(empty.c_str()), 1);
  EXPECT_EQ(reg_blob_exists(missing.c_str()), 0);
  EXPECT_EQ(reg_blob_get_size(empty.c_str()), 0);
  EXPECT_EQ(reg_blob_get_size(some.c_str()), 1000);
  EXPECT_EQ(reg_blob_get_size(missing.c_str()), -1);
  EXPECT_STREQ(reg_storage_last_error(), "digest is NULL");
  char path[4096];
  EXPECT_EQ(reg_blob_get_filepath(missing.c_str(), path, sizeof path), -1);
  EXPECT_EQ(reg_storage_last_error(), "blob not found: " + missing);
}

TEST_F(BlobsTest, FilepathNeedsRoomForThePathAndItsNul) {
  const std::string d = put_blob("served bytes");
  const std::string expected = blob_file(d).string();
  std::vector<char> buf(expected.size() + 2, '#');
  EXPECT_EQ(reg_blob_get_filepath(d.c_str(), buf.data(), expected.size()), -1);
  EXPECT_STREQ(reg_storage_last_error(), "path buffer too small");
  EXPECT_EQ(std::string(buf.begin(), buf.end()), std::string(buf.size(), '#'));  // unwritten
  ASSERT_EQ(reg_blob_get_filepath(d.c_str(), buf.data(), expected.size() + 1), 0);
  EXPECT_EQ(std::string(buf.data()), expected);
  EXPECT_EQ(read_all(buf.data()), "served bytes");
}

TEST_F(BlobsTest, DeleteRemovesTheFanoutDirectoryOnlyOnceEmpty) {
  // Two contents whose digests share a fan-out directory, and a third that has its own.
  std::map<std::string, std::vector<std::string>> by_fanout;
  std::vector<std::string> shared;
  for (int i = 0; shared.empty(); ++i) {
    const std::string data = "blob " + std::to_string(i);
    auto& bucket = by_fanout[digest_of(data).substr(7, 2)];
    bucket.push_back(data);
    if (bucket.size() == 2) shared = bucket;
  }
  std::string alone;
  for (const auto& [fanout, datas] : by_fanout)
    if (fanout != digest_of(shared[0]).substr(7, 2)) alone = datas[0];
  const std::string a = put_blob(shared[0]), b = put_blob(shared[1]), c = put_blob(alone);

  ASSERT_EQ(reg_blob_delete(a.c_str()), 0) << reg_storage_last_error();
  EXPECT_FALSE(fs::exists(blob_file(a)));
  EXPECT_TRUE(fs::is_directory(blob_file(a).parent_path()));
  EXPECT_EQ(reg_blob_exists(b.c_str()), 1);
  ASSERT_EQ(reg_blob_delete(c.c_str()), 0) << reg_storage_last_error();
  EXPECT_FALSE(fs::exists(blob_file(c).parent_path()));

  EXPECT_EQ(reg_blob_delete(a.c_str()), -1);
  EXPECT_EQ(reg_storage_last_error(), "blob not found: " + a);
}

TEST_F(BlobsTest, DirectoryAtABlobPathIsNoBlob) {
  const std::string d = digest_of("made by hand");
  fs::create_directories(blob_file(d));
  const auto before = snapshot_tree(rootp());
  char path[4096];
  EXPECT_EQ(reg_blob_exists(d.c_str()), 0);
  reg_blob_exists("bad");  // leaves a message that a size query of no blob must not touch
  EXPECT_EQ(reg_blob_get_size(d.c_str()), -1);
  EXPECT_STREQ(reg_storage_last_error(), "invalid digest");
  EXPECT_EQ(reg_blob_get_filepath(d.c_str(), path, sizeof path), -1);
  EXPECT_EQ(reg_storage_last_error(), "blob not found: " + d);
  EXPECT_EQ(reg_blob_delete(d.c_str()), -1);
  EXPECT_EQ(reg_storage_last_error(), "blob not found: " + d);
  EXPECT_EQ(snapshot_tree(rootp()), before);
}

TEST_F(BlobsTest, FailedRemovalKeepsTheBlob) {
  const std::string d = put_blob("kept");
  reg::fault::arm(reg::fault::Op::remove, 1, 13);
  EXPECT_EQ(reg_blob_delete(d.c_str()), -1);
  reg::fault::disarm();
  EXPECT_STREQ(reg_storage_last_error(), "remove failed");
  EXPECT_EQ(read_all(blob_file(d)), "kept");
}

}  // namespace
