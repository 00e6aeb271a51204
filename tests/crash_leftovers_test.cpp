// What a crash leaves: an empty blob file under a digest that is not the empty blob's is no
// blob, so clients upload it again and the upload replaces it.
#include "manifest_fixture.h"

namespace regtest {
namespace {

using CrashLeftoversTest = ManifestTest;

TEST_F(CrashLeftoversTest, AnEmptyBlobFileIsNoBlobUnlessItIsTheEmptyBlob) {
  const std::string d = make_blob("some content");
  write_all(blob_file(d), "");
  char path[4096];
  EXPECT_EQ(reg_blob_exists(d.c_str()), 0);
  EXPECT_EQ(reg_blob_get_size(d.c_str()), -1);
  EXPECT_NE(reg_blob_get_filepath(d.c_str(), path, sizeof path), 0);
  EXPECT_EQ(make_blob("some content"), d);  // the next push repairs it
  EXPECT_EQ(read_all(blob_file(d)), "some content");
  const std::string empty = make_blob("");
  EXPECT_EQ(reg_blob_exists(empty.c_str()), 1);
  EXPECT_EQ(reg_blob_get_size(empty.c_str()), 0);
}

}  // namespace
}  // namespace regtest
