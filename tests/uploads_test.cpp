// Chunked uploads: ids, checks and messages, the commit into the blob store, failure injection
// and chunks that race a finish.
#include <sys/stat.h>
#include <atomic>
#include <cctype>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/context.h"
#include "core/paths.h"
#include "platform/fault.h"
#include "platform/platform.h"
#include "reg_storage.h"
#include "support/test_support.h"

namespace {

using namespace regtest;
using reg::fault::Op;
using reg::platform::File;

constexpr int kEio = 5;
constexpr int kEacces = 13;
const std::string kFixedId = "0123abcd-4567-89ef-0a1b-2c3d4e5f6789";

class UploadsTest : public StoreTest {
 protected:
  fs::path part(const std::string& id) const { return rootp() / "uploads" / (id + ".part"); }
  fs::path finishing(const std::string& id) const {
    return rootp() / "uploads" / (id + ".finishing");
  }
  fs::path blob_file(const std::string& digest) const {
    const std::string hex = digest.substr(7);
    return rootp() / "blobs" / "sha256" / hex.substr(0, 2) / hex;
  }
  std::string start() {
    char id[37];
    EXPECT_EQ(reg_blob_start_upload(id), 0) << reg_storage_last_error();
    return id;
  }
  std::string start_with(const std::string& data) {
    const std::string id = start();
    EXPECT_EQ(reg_blob_append_chunk(id.c_str(), data.data(), data.size()), 0);
    return id;
  }
  int finish(const std::string& id, const std::string& digest, std::string* out = nullptr) {
    char buf[72] = {};
    const int rc = reg_blob_finish_upload(id.c_str(), digest.c_str(), buf);
    if (out) *out = buf;
    return rc;
  }
  // Every file under blobs/ holds exactly the bytes its name is the digest of.
  void expect_blobs_intact() const {
    for (const auto& e : fs::recursive_directory_iterator(rootp() / "blobs")) {
      if (!e.is_regular_file()) continue;
      EXPECT_EQ(digest_of(read_all(e.path())), "sha256:" + e.path().filename().string())
          << e.path();
    }
  }
};

std::string pattern(std::size_t len, unsigned salt) {
  std::string s(len, '\0');
  for (std::size_t i = 0; i < len; ++i) s[i] = static_cast<char>((i * 131 + salt * 7) & 0xFF);
  return s;
}

// ---- Ids -------------------------------------------------------------------------------

TEST_F(UploadsTest, GeneratorFromSeedOneGivesKnownIdAndState) {
  reg::s_seed = 1;
  EXPECT_EQ(start(), "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b");
  EXPECT_EQ(reg::s_seed.load(), 0xC9C495B1u);
  EXPECT_EQ(read_all(part("12105cf4-1d0d-a12b-5247-bc73a8ea5f1b")), "");
}

TEST_F(UploadsTest, TwoStartsGiveDistinctValidIdsAndEmptyFiles) {
  const std::string a = start(), b = start();
  EXPECT_NE(a, b);
  for (const auto& id : {a, b}) {
    EXPECT_EQ(reg::uuid_valid(id.c_str()), 1) << id;
    EXPECT_TRUE(fs::is_regular_file(part(id)));
    EXPECT_EQ(fs::file_size(part(id)), 0u);
  }
}

// An id made again (a re-seed within the same second) must never empty an upload in progress.
TEST_F(UploadsTest, StartSkipsIdsInUse) {
  for (bool being_finished : {false, true}) {
    SCOPED_TRACE(being_finished ? "id being finished" : "id open");
    reg::s_seed = 1;
    const std::string first = start();
    const std::string second = start();
    const std::uint32_t after_second = reg::s_seed;
    ASSERT_EQ(reg_blob_cancel_upload(second.c_str()), 0);
    if (being_finished) fs::rename(part(first), finishing(first));
    write_all(being_finished ? finishing(first) : part(first), "in progress");

    reg::s_seed = 1;
    EXPECT_EQ(start(), second);
    EXPECT_EQ(reg::s_seed.load(), after_second);  // the state advanced once per id tried
    EXPECT_EQ(read_all(being_finished ? finishing(first) : part(first)), "in progress");
    fs::remove_all(rootp() / "uploads");
    fs::create_directory(rootp() / "uploads");
  }
}

TEST_F(UploadsTest, StartGivesUpAfterSixteenIdsInUse) {
  reg::s_seed = 1;
  std::vector<std::string> ids;
  for (int i = 0; i < 16; ++i) ids.push_back(start());
  const std::uint32_t after_sixteen = reg::s_seed;
  const auto before = snapshot_tree(rootp());
  reg::s_seed = 1;
  char id[37];
  EXPECT_EQ(reg_blob_start_upload(id), -1);
  EXPECT_EQ(reg_storage_last_error(), "cannot create upload file: " + part(ids[15]).string());
  EXPECT_EQ(std::string(id), ids[15]);
  EXPECT_EQ(reg::s_seed.load(), after_sixteen);
  EXPECT_EQ(snapshot_tree(rootp()), before);
}

TEST_F(UploadsTest, StartThatCannotCreateTriesNoOtherId) {
  reg::s_seed = 1;
  reg::fault::arm(Op::open, 1, kEacces);
  char id[37];
  EXPECT_EQ(reg_blob_start_upload(id), -1);
  EXPECT_EQ(reg_storage_last_error(), "cannot create upload file: " + part(id).string());
  EXPECT_EQ(std::string(id), "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b");
  EXPECT_EQ(reg::s_seed.load(), 0xC9C495B1u);
  EXPECT_FALSE(fs::exists(part(id)));
}

// ---- Checks and their order ----------------------------------------------------------

struct Refusal {
  const char* name;
  std::function<int(const std::string& id)> call;  // id: an open upload holding "abc"
  std::string message;                             // "<id>" stands for that id
};

TEST_F(UploadsTest, RefusedCallsRecordTheirMessageAndChangeNothing) {
  const std::string good = digest_of("abc");
  const std::string unknown = "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee";
  const std::string upper = "0123ABCD-4567-89ef-0a1b-2c3d4e5f6789";
  char out[72];
  long long n = 0;
  const std::vector<Refusal> cases = {
      {"start null", [](auto&) { return reg_blob_start_upload(nullptr); },
       "out_upload_uuid is NULL"},
      {"append null id", [](auto&) { return reg_blob_append_chunk(nullptr, "x", 1); },
       "upload_uuid/data is NULL"},
      {"append null data, len 0",
       [](auto& id) { return reg_blob_append_chunk(id.c_str(), nullptr, 0); },
       "upload_uuid/data is NULL"},
      {"append uppercase id", [&](auto&) { return reg_blob_append_chunk(upper.c_str(), "x", 1); },
       "invalid upload uuid"},
      {"append short id", [](auto&) { return reg_blob_append_chunk("0123abcd", "x", 1); },
       "invalid upload uuid"},
      {"append long id", [](auto& id) { return reg_blob_append_chunk((id + "0").c_str(), "x", 1); },
       "invalid upload uuid"},
      {"append dash misplaced",
       [](auto&) { return reg_blob_append_chunk("0123abcd4-567-89ef-0a1b-2c3d4e5f6789", "x", 1); },
       "invalid upload uuid"},
      {"append unknown", [&](auto&) { return reg_blob_append_chunk(unknown.c_str(), "x", 1); },
       "upload not found: " + unknown},
      {"finish null id", [&](auto&) { return reg_blob_finish_upload(nullptr, good.c_str(), out); },
       "NULL argument"},
      {"finish null digest",
       [&](auto& id) { return reg_blob_finish_upload(id.c_str(), nullptr, out); }, "NULL argument"},
      {"finish null out",
       [&](auto& id) { return reg_blob_finish_upload(id.c_str(), good.c_str(), nullptr); },
       "NULL argument"},
      {"finish bad id before bad digest",
       [&](auto&) { return reg_blob_finish_upload(upper.c_str(), "sha256:X", out); },
       "invalid upload uuid"},
      {"finish uppercase digest",
       [&](auto& id) {
         std::string d = good;
         for (auto& c : d) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
         d.replace(0, 7, "sha256:");
         return reg_blob_finish_upload(id.c_str(), d.c_str(), out);
       },
       "invalid expected digest"},
      {"finish digest without prefix",
       [&](auto& id) { return reg_blob_finish_upload(id.c_str(), good.c_str() + 7, out); },
       "invalid expected digest"},
      {"finish digest before existence",
       [&](auto&) { return reg_blob_finish_upload(unknown.c_str(), "sha256:abc", out); },
       "invalid expected digest"},
      {"finish unknown",
       [&](auto&) { return reg_blob_finish_upload(unknown.c_str(), good.c_str(), out); },
       "upload not found: " + unknown},
      {"cancel null", [](auto&) { return reg_blob_cancel_upload(nullptr); }, "upload_uuid is NULL"},
      {"cancel uppercase", [&](auto&) { return reg_blob_cancel_upload(upper.c_str()); },
       "invalid upload uuid"},
      {"size null id", [&](auto&) { return reg_blob_upload_size(nullptr, &n); },
       "upload_uuid/out_bytes is NULL"},
      {"size null out", [](auto& id) { return reg_blob_upload_size(id.c_str(), nullptr); },
       "upload_uuid/out_bytes is NULL"},
      {"size uppercase", [&](auto&) { return reg_blob_upload_size(upper.c_str(), &n); },
       "invalid upload uuid"},
      {"size unknown", [&](auto&) { return reg_blob_upload_size(unknown.c_str(), &n); },
       "upload not found: " + unknown},
  };
  // The uppercase form of an id whose upload exists is still refused.
  write_all(part(kFixedId), "abc");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto before = snapshot_tree(tmp_.path());
    n = -7;
    EXPECT_EQ(c.call(kFixedId), -1);
    EXPECT_EQ(reg_storage_last_error(), c.message);
    EXPECT_EQ(n, -7);
    EXPECT_EQ(snapshot_tree(tmp_.path()), before);
  }
}

TEST_F(UploadsTest, NullChecksComeBeforeTheReadyGuard) {
  write_all(part(kFixedId), "abc");
  const std::string d = digest_of("abc");
  const char* id = kFixedId.c_str();
  char out[72];
  long long n;
  struct Call {
    std::function<int()> valid, null_arg;
    const char* null_message;
  };
  const std::vector<Call> calls = {
      {[&] { return reg_blob_start_upload(out); }, [] { return reg_blob_start_upload(nullptr); },
       "out_upload_uuid is NULL"},
      {[&] { return reg_blob_append_chunk(id, "x", 1); },
       [&] { return reg_blob_append_chunk(id, nullptr, 1); }, "upload_uuid/data is NULL"},
      {[&] { return reg_blob_finish_upload(id, d.c_str(), out); },
       [&] { return reg_blob_finish_upload(id, d.c_str(), nullptr); }, "NULL argument"},
      {[&] { return reg_blob_cancel_upload(id); }, [] { return reg_blob_cancel_upload(nullptr); },
       "upload_uuid is NULL"},
      {[&] { return reg_blob_upload_size(id, &n); },
       [&] { return reg_blob_upload_size(id, nullptr); }, "upload_uuid/out_bytes is NULL"},
  };
  reg_storage_cleanup();
  const auto before = snapshot_tree(tmp_.path());
  for (const Call& c : calls) {
    EXPECT_EQ(c.valid(), -1);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
    EXPECT_EQ(c.null_arg(), -1);
    EXPECT_STREQ(reg_storage_last_error(), c.null_message);
  }
  EXPECT_EQ(snapshot_tree(tmp_.path()), before);
}

// Appends, cancels and sizes address <id>.part only; a directory there is no upload either.
TEST_F(UploadsTest, OnlyAnOpenUploadFileIsAnUpload) {
  for (bool dir_at_part : {false, true}) {
    SCOPED_TRACE(dir_at_part ? "directory at <id>.part" : "upload being finished");
    if (dir_at_part)
      fs::create_directories(part(kFixedId));
    else
      write_all(finishing(kFixedId), "abc");
    const auto before = snapshot_tree(rootp());
    const std::string missing = "upload not found: " + kFixedId;
    long long n = -7;
    EXPECT_EQ(reg_blob_append_chunk(kFixedId.c_str(), "x", 1), -1);
    EXPECT_EQ(reg_storage_last_error(), missing);
    EXPECT_EQ(reg_blob_upload_size(kFixedId.c_str(), &n), -1);
    EXPECT_EQ(reg_storage_last_error(), missing);
    EXPECT_EQ(n, -7);
    EXPECT_EQ(finish(kFixedId, digest_of("abc")), -1);
    EXPECT_EQ(reg_storage_last_error(), missing);
    EXPECT_EQ(reg_blob_cancel_upload(kFixedId.c_str()), 0);
    EXPECT_EQ(snapshot_tree(rootp()), before);
    fs::remove_all(dir_at_part ? part(kFixedId) : finishing(kFixedId));
  }
}

// ---- Lifecycle -------------------------------------------------------------------------

TEST_F(UploadsTest, ChunksOfAnySizeAddUpAndFinishIntoTheBlobStore) {
  const std::string id = start();
  std::string all;
  for (const std::string& chunk :
       {std::string(), pattern(70000, 1), std::string(), pattern(3, 2)}) {
    ASSERT_EQ(reg_blob_append_chunk(id.c_str(), chunk.data(), chunk.size()), 0);
    all += chunk;
    long long n = -1;
    ASSERT_EQ(reg_blob_upload_size(id.c_str(), &n), 0);
    EXPECT_EQ(n, static_cast<long long>(all.size()));
  }
  const std::string d = digest_of(all);
  const fs::path fanout = blob_file(d).parent_path();
  ASSERT_FALSE(fs::exists(fanout));
  std::string out;
  ASSERT_EQ(finish(id, d, &out), 0) << reg_storage_last_error();
  EXPECT_EQ(out, d);
  EXPECT_TRUE(fs::is_directory(fanout));
  EXPECT_EQ(read_all(blob_file(d)), all);
  EXPECT_EQ(reg_blob_exists(d.c_str()), 1);
  EXPECT_TRUE(fs::is_empty(rootp() / "uploads"));
  EXPECT_EQ(reg_blob_append_chunk(id.c_str(), "x", 1), -1);
  EXPECT_EQ(reg_storage_last_error(), "upload not found: " + id);
}

TEST_F(UploadsTest, EmptyUploadFinishesToTheEmptyBlob) {
  const std::string id = start();
  const std::string d = digest_of("");
  ASSERT_EQ(finish(id, d), 0) << reg_storage_last_error();
  EXPECT_TRUE(fs::is_regular_file(blob_file(d)));
  EXPECT_EQ(reg_blob_get_size(d.c_str()), 0);
}

TEST_F(UploadsTest, MismatchRemovesTheUpload) {
  const std::string id = start_with("hello");
  const std::string wrong = digest_of("world");
  std::string out = "untouched";
  EXPECT_EQ(finish(id, wrong, &out), -1);
  EXPECT_EQ(reg_storage_last_error(),
            "digest mismatch: expected " + wrong + ", got " + digest_of("hello"));
  EXPECT_EQ(out, "");  // the caller's buffer is not written on failure
  long long n;
  EXPECT_EQ(reg_blob_upload_size(id.c_str(), &n), -1);
  EXPECT_EQ(reg_storage_last_error(), "upload not found: " + id);
  EXPECT_TRUE(fs::is_empty(rootp() / "uploads"));
  EXPECT_TRUE(fs::is_empty(rootp() / "blobs" / "sha256"));
}

// The stored file stays (same inode), stamped with the commit time: a collection's grace
// period then counts from this commit.
TEST_F(UploadsTest, FinishingAStoredBlobKeepsItsFileAndStampsIt) {
  const std::string d = put_blob("same bytes");
  const auto old_time = fs::last_write_time(blob_file(d)) - std::chrono::hours(48);
  fs::last_write_time(blob_file(d), old_time);
  struct stat before{}, after{};
  ASSERT_EQ(stat(blob_file(d).c_str(), &before), 0);
  const std::string id = start_with("same bytes");
  std::string out;
  ASSERT_EQ(finish(id, d, &out), 0) << reg_storage_last_error();
  EXPECT_EQ(out, d);
  ASSERT_EQ(stat(blob_file(d).c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);  // not replaced by the new upload
  EXPECT_GT(fs::last_write_time(blob_file(d)), old_time + std::chrono::hours(47));
  EXPECT_TRUE(fs::is_empty(rootp() / "uploads"));
}

// A stored file of another size than the verified upload is damaged (an empty file a crash
// left, a torn copy): the upload replaces it instead of being discarded.
TEST_F(UploadsTest, FinishReplacesAStoredBlobFileOfAnotherSize) {
  const std::string data = "the whole blob";
  const std::string d = digest_of(data);
  for (const std::string& damaged : {std::string(), data.substr(0, 5)}) {
    write_all(blob_file(d), damaged);
    std::string out;
    ASSERT_EQ(finish(start_with(data), d, &out), 0) << reg_storage_last_error();
    EXPECT_EQ(read_all(blob_file(d)), data);
    EXPECT_TRUE(fs::is_empty(rootp() / "uploads"));
  }
}

TEST_F(UploadsTest, CancelRemovesTheUploadAndUnknownIdsSucceed) {
  const std::string id = start_with("abc");
  EXPECT_EQ(reg_blob_cancel_upload(id.c_str()), 0);
  EXPECT_FALSE(fs::exists(part(id)));
  EXPECT_EQ(reg_blob_cancel_upload(id.c_str()), 0);
  EXPECT_EQ(reg_blob_cancel_upload(kFixedId.c_str()), 0);
}

// ---- The hash state carried along the appends ------------------------------------------

// The finish trusts the carried state only while it covers the file as it is: the state is
// used (the file is not read: bytes changed in place, size and time kept, go unnoticed), a
// file grown behind the appends' back is hashed whole, and a claim the state disagrees with
// is checked against the file before it is refused.
TEST_F(UploadsTest, CarriedHashStateDecidesOnlyWhileItCoversTheFile) {
  const std::string data = pattern(200000, 4), d = digest_of(data);
  {
    const std::string id = start_with(data.substr(0, 70001));
    ASSERT_EQ(reg_blob_append_chunk(id.c_str(), data.data() + 70001, data.size() - 70001), 0);
    ASSERT_TRUE(fs::exists(rootp() / "uploads" / "_hash" / id));
    const auto when = fs::last_write_time(part(id));
    std::string changed = data;
    changed[100] ^= 1;
    write_all(part(id), changed);
    fs::last_write_time(part(id), when);
    ASSERT_EQ(finish(id, d), 0) << reg_storage_last_error();
    EXPECT_FALSE(fs::exists(rootp() / "uploads" / "_hash"));
  }
  reg_blob_delete(d.c_str());
  {
    const std::string id = start_with(data.substr(0, 1000));
    write_all(part(id), data);  // grown outside the library: the state is stale
    ASSERT_EQ(finish(id, d), 0) << reg_storage_last_error();
    EXPECT_EQ(read_all(blob_file(d)), data);
  }
  {
    const std::string id = start_with("abc");
    const auto when = fs::last_write_time(part(id));
    write_all(part(id), "abd");
    fs::last_write_time(part(id), when);
    ASSERT_EQ(finish(id, digest_of("abd")), 0) << reg_storage_last_error();
    EXPECT_EQ(read_all(blob_file(digest_of("abd"))), "abd");
    EXPECT_FALSE(fs::exists(rootp() / "uploads" / "_hash"));
  }
}

// States go with their uploads: cancel removes it, a new upload never inherits one left under
// its id, the collector removes those whose upload is gone, and neither the statistics nor
// the checker count them.
TEST_F(UploadsTest, HashStatesGoWithTheirUploads) {
  const std::string kept = start_with("open");
  const std::string cancelled = start_with("gone");
  ASSERT_EQ(reg_blob_cancel_upload(cancelled.c_str()), 0);
  EXPECT_FALSE(fs::exists(rootp() / "uploads" / "_hash" / cancelled));

  const fs::path state = rootp() / "uploads" / "_hash" / kept;
  write_all(rootp() / "uploads" / "_hash" / kFixedId, read_all(state));  // an orphan
  const char* stats = reg_storage_get_stats_json();
  ASSERT_NE(stats, nullptr);
  EXPECT_NE(std::string(stats).find("\"active_uploads\":1,\"upload_bytes\":4}"), std::string::npos)
      << stats;

  reg::s_seed = 1;  // the next id is known: leave a state under it
  char id[37];
  ASSERT_EQ(reg_blob_start_upload(id), 0);
  ASSERT_EQ(reg_blob_cancel_upload(id), 0);
  write_all(rootp() / "uploads" / "_hash" / id, read_all(state));
  reg::s_seed = 1;
  ASSERT_EQ(reg_blob_start_upload(id), 0);
  EXPECT_FALSE(fs::exists(rootp() / "uploads" / "_hash" / id));
  ASSERT_EQ(reg_blob_append_chunk(id, "nope", 4), 0);  // same size as the borrowed state
  EXPECT_EQ(finish(id, digest_of("open")), -1);
  ASSERT_EQ(reg_blob_cancel_upload(id), 0);

  const std::string old = (part(kept)).string();
  fs::last_write_time(part(kept), fs::file_time_type::clock::now() - std::chrono::hours(1));
  ASSERT_NE(reg_gc_json(0), nullptr) << reg_storage_last_error();  // the stale upload goes too
  EXPECT_FALSE(fs::exists(rootp() / "uploads" / "_hash"));
  EXPECT_FALSE(fs::exists(old));
}

// ---- Failure injection -----------------------------------------------------------------

struct InjectedFault {
  const char* name;
  Op op;
  int nth;
  bool sticky;
  const char* message;  // "" for "rename to CAS failed: <blob path>"
};

TEST_F(UploadsTest, FailedFinishLeavesTheUploadInPlace) {
  const std::vector<InjectedFault> cases = {
      {"upload cannot be set aside", Op::rename, 1, false, "hashing upload failed"},
      {"appenders cannot be waited for", Op::lock, 1, false, "hashing upload failed"},
      {"upload cannot be opened", Op::open, 1, false, "hashing upload failed"},
      {"upload cannot be opened for hashing", Op::open, 2, false, "hashing upload failed"},
      {"upload cannot be read", Op::read, 1, false, "hashing upload failed"},
      {"fan-out directory cannot be made", Op::mkdir, 1, true, "mkdirs blob dir failed"},
      {"rename into the store fails", Op::rename, 2, false, ""},
  };
  const std::string data = pattern(150000, 3), d = digest_of(data);
  const std::string id = start_with(data);
  fs::remove_all(rootp() / "uploads" / "_hash");  // without the carried state: the file is read
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto before = snapshot_tree(rootp() / "uploads");
    reg::fault::arm(c.op, c.nth, kEio, c.sticky);
    EXPECT_EQ(finish(id, d), -1);
    reg::fault::disarm();
    EXPECT_GE(reg::fault::fired(), 1);
    const std::string expected =
        *c.message ? c.message : "rename to CAS failed: " + blob_file(d).string();
    EXPECT_EQ(reg_storage_last_error(), expected);
    EXPECT_EQ(snapshot_tree(rootp() / "uploads"), before);
    EXPECT_FALSE(fs::exists(blob_file(d)));  // an empty fan-out directory may stay
  }
  ASSERT_EQ(finish(id, d), 0) << reg_storage_last_error();  // the upload still works
  EXPECT_EQ(read_all(blob_file(d)), data);
}

TEST_F(UploadsTest, FailedAppendsAndCancel) {
  const std::string chunk = pattern(1000, 4);
  struct Case {
    const char* name;
    Op op;
    int nth;
    std::size_t bytes_kept;  // of the chunk
  };
  // The upload file is closed after the hash state was replaced (a close of its own).
  for (const Case& c :
       {Case{"open refused", Op::open, 1, 0}, Case{"lock refused", Op::lock, 1, 0},
        Case{"short write", Op::write, 1, 500}, Case{"close fails", Op::close, 2, 1000}}) {
    SCOPED_TRACE(c.name);
    const std::string id = start_with("abc");
    reg::fault::arm(c.op, c.nth, kEacces);
    EXPECT_EQ(reg_blob_append_chunk(id.c_str(), chunk.data(), chunk.size()), -1);
    reg::fault::disarm();
    EXPECT_STREQ(reg_storage_last_error(), "write error appending chunk");
    EXPECT_EQ(read_all(part(id)), "abc" + chunk.substr(0, c.bytes_kept));
  }
  const std::string id = start_with("abc");
  reg::fault::arm(Op::remove, 1, kEacces);
  EXPECT_EQ(reg_blob_cancel_upload(id.c_str()), -1);
  EXPECT_STREQ(reg_storage_last_error(), "cancel failed");
  EXPECT_EQ(read_all(part(id)), "abc");
}

// Fails the N-th platform call of a finish for N = 1, 2, ... until a finish runs without a
// fault: every run fails with one of the fixed messages, leaving the upload as it was, or
// succeeds; and no blob file ever holds bytes other than those its name is the digest of.
class FinishSweep : public UploadsTest, public ::testing::WithParamInterface<int> {};

TEST_P(FinishSweep, EveryFailureLeavesUploadAndStoreConsistent) {
  enum { kNewFanout, kFanoutExists, kBlobStored };
  const std::string data = pattern(200000, 5), d = digest_of(data);
  const fs::path fanout = blob_file(d).parent_path();
  std::int64_t fired_total = 0;
  for (int n = 1; n < 1000; ++n) {
    SCOPED_TRACE("fault at call " + std::to_string(n));
    fs::remove_all(fanout);
    if (GetParam() == kFanoutExists) fs::create_directories(fanout);
    if (GetParam() == kBlobStored) write_all(blob_file(d), data);
    const std::string id = start_with(data);
    reg::fault::arm(Op::any, n, kEio);
    const int rc = finish(id, d);
    reg::fault::disarm();
    const std::int64_t fired = reg::fault::fired();
    fired_total += fired;
    if (rc == 0) {
      EXPECT_FALSE(fs::exists(part(id)));
      EXPECT_EQ(read_all(blob_file(d)), data);
    } else if (const std::string msg = reg_storage_last_error();
               msg == "sync blob failed: " + blob_file(d).string()) {
      // The data sync failed before the commit, and the upload stays; or a directory sync
      // after it, and the blob is stored whole (the next upload of it syncs it again).
      if (fs::exists(part(id))) {
        EXPECT_EQ(read_all(part(id)), data);
      } else {
        EXPECT_EQ(read_all(blob_file(d)), data);
      }
    } else {
      EXPECT_TRUE(msg == "hashing upload failed" || msg == "mkdirs blob dir failed" ||
                  msg == "rename to CAS failed: " + blob_file(d).string() ||
                  msg == "upload not found: " + id)
          << msg;
      EXPECT_EQ(read_all(part(id)), data);
      EXPECT_EQ(GetParam() == kBlobStored, fs::exists(blob_file(d)));
    }
    // A private file outlives the finish only when dropping a duplicate failed.
    if (fs::exists(finishing(id))) {
      EXPECT_TRUE(rc == 0 && GetParam() == kBlobStored);
      fs::remove(finishing(id));
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp_.path()), {}), 1);  // only the root
    expect_blobs_intact();
    reg_blob_cancel_upload(id.c_str());
    if (fired == 0) {
      EXPECT_EQ(rc, 0);
      break;
    }
  }
  EXPECT_GT(fired_total, 3);
}

std::string sweep_name(const ::testing::TestParamInfo<int>& info) {
  static const char* const kNames[] = {"NewFanout", "FanoutExists", "BlobStored"};
  return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(Uploads, FinishSweep, ::testing::Values(0, 1, 2), sweep_name);

TEST_F(UploadsTest, AppendSweepKeepsAPrefixOfTheChunk) {
  const std::string chunk = pattern(4096, 6);
  std::int64_t fired_total = 0;
  for (int n = 1; n < 100; ++n) {
    SCOPED_TRACE("fault at call " + std::to_string(n));
    const std::string id = start_with("abc");
    reg::fault::arm(Op::any, n, kEio);
    const int rc = reg_blob_append_chunk(id.c_str(), chunk.data(), chunk.size());
    reg::fault::disarm();
    const std::int64_t fired = reg::fault::fired();
    fired_total += fired;
    const std::string got = read_all(part(id));
    if (rc == 0) {
      EXPECT_EQ(got, "abc" + chunk);
    } else {
      const std::string msg = reg_storage_last_error();
      EXPECT_TRUE(msg == "write error appending chunk" || msg == "upload not found: " + id) << msg;
      ASSERT_GE(got.size(), 3u);
      EXPECT_EQ(got, "abc" + chunk.substr(0, got.size() - 3));
    }
    reg_blob_cancel_upload(id.c_str());
    if (fired == 0) break;
  }
  EXPECT_GT(fired_total, 2);
}

// ---- Chunks racing a finish --------------------------------------------------------------

// An append that opened and locked the file before a finish set it aside: the finish waits
// for it, so its bytes are part of the hash (here: a mismatch instead of a corrupt blob).
TEST_F(UploadsTest, FinishWaitsForAnAppendInFlight) {
  const std::string id = start_with("seed");
  std::unique_ptr<File> f;
  ASSERT_EQ(reg::platform::open_file(part(id).c_str(), File::Mode::append, &f), 0);
  ASSERT_EQ(f->lock(false), 0);
  int rc = 0;
  std::string error;  // messages are kept per thread
  std::atomic<bool> done{false};
  std::thread finisher([&] {
    rc = finish(id, digest_of("seed"));
    error = reg_storage_last_error();
    done = true;
  });
  while (!fs::exists(finishing(id)) && !done) std::this_thread::yield();
  std::size_t put = 0;
  EXPECT_EQ(f->write("late", 4, &put), 0);
  EXPECT_EQ(f->close(), 0);
  finisher.join();
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(error,
            "digest mismatch: expected " + digest_of("seed") + ", got " + digest_of("seedlate"));
  EXPECT_TRUE(fs::is_empty(rootp() / "blobs" / "sha256"));
}

// An append that opened the file before it was set aside but locks only afterwards writes
// nothing: once it holds its lock it finds no open upload file.
TEST_F(UploadsTest, AppendThatLocksAfterTheSetAsideWritesNothing) {
  const std::string id = start_with("seed");
  std::unique_ptr<File> finishing_lock;  // stands in for a finish between set-aside and hash
  ASSERT_EQ(reg::platform::open_file(part(id).c_str(), File::Mode::read, &finishing_lock), 0);
  ASSERT_EQ(finishing_lock->lock(true), 0);
  reg::fault::arm(Op::any, 0, 0);  // counts calls only
  int rc = 0;
  std::string error;
  std::atomic<bool> done{false};
  std::thread appender([&] {
    rc = reg_blob_append_chunk(id.c_str(), "late", 4);
    error = reg_storage_last_error();
    done = true;
  });
  while (reg::fault::calls(Op::lock) == 0 && !done) std::this_thread::yield();  // now locking
  fs::rename(part(id), finishing(id));
  finishing_lock.reset();
  appender.join();
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(error, "upload not found: " + id);
  EXPECT_EQ(read_all(finishing(id)), "seed");
}

// Threads append while another finishes the same upload. A chunk either makes it into the
// hashed content (the finish then reports a mismatch) or fails; it never lands in a blob
// after the hash was taken.
TEST_F(UploadsTest, ChunksRacingAFinishNeverCorruptABlob) {
  constexpr int kRounds = 400, kAppenders = 3, kMaxChunks = 200;
  const std::string seed = "seed bytes of the upload";
  const std::string d = digest_of(seed);
  int commits = 0, lost_chunks = 0, corrupt = 0;
  for (int round = 0; round < kRounds; ++round) {
    reg_blob_delete(d.c_str());
    const std::string id = start_with(seed);
    std::atomic<int> ready{0}, accepted{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> appenders;
    for (int t = 0; t < kAppenders; ++t) {
      appenders.emplace_back([&, t] {
        const std::string chunk = pattern(64 + t, static_cast<unsigned>(round + t));
        ready.fetch_add(1);
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < kMaxChunks; ++i) {
          if (reg_blob_append_chunk(id.c_str(), chunk.data(), chunk.size()) != 0) break;
          accepted.fetch_add(1);
        }
      });
    }
    while (ready.load() < kAppenders) std::this_thread::yield();
    // Let the appenders get a head start of a varying few microseconds, so the finish meets
    // them at every stage of an append.
    go.store(true);
    std::atomic<int> spin{0};
    while (spin.fetch_add(1, std::memory_order_relaxed) < (round % 8) * 200) {
    }
    const int rc = finish(id, d);
    for (auto& a : appenders) a.join();
    if (rc == 0) {
      ++commits;
      lost_chunks += accepted.load();  // accepted, yet not in the hashed content
      corrupt += read_all(blob_file(d)) != seed;
    }
    reg_blob_cancel_upload(id.c_str());
  }
  EXPECT_EQ(lost_chunks, 0);
  EXPECT_EQ(corrupt, 0);
  expect_blobs_intact();
  EXPECT_GT(commits, 0) << "no finish won the race; the test proved nothing";
}

}  // namespace
