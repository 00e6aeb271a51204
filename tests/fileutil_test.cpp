// File and text utilities: whole-file reads and writes, listings, directory creation and
// removal, sorting and JSON escaping.
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "core/fileutil.h"
#include "platform/call_counts.h"
#include "platform/fault.h"
#include "support/test_support.h"

using namespace regtest;

namespace {

class FileUtilTest : public ::testing::Test {
 protected:
  void TearDown() override {
    reg::fault::disarm();
    reg::fault::reset_counts();
  }
  std::string at(const std::string& rel) const { return (tmp_.path() / rel).string(); }
  TempDir tmp_;
};

TEST_F(FileUtilTest, WriteFileCreatesTruncatesAndWritesEmpty) {
  const std::string p = at("f");
  ASSERT_EQ(reg::write_file(p.c_str(), "hello", 5), 0);
  EXPECT_EQ(read_all(p), "hello");
  ASSERT_EQ(reg::write_file(p.c_str(), "", 0), 0);
  EXPECT_EQ(read_all(p), "");
  EXPECT_TRUE(fs::is_regular_file(p));
}

// A failure at any step of a write keeps the old content and leaves no temporary file.
TEST_F(FileUtilTest, WriteFileNeverLeavesATornFile) {
  const std::string p = at("f");
  ASSERT_EQ(reg::write_file(p.c_str(), "old content", 11), 0);
  const std::string fresh(100000, 'n');
  for (auto op : {reg::fault::Op::open, reg::fault::Op::write, reg::fault::Op::close,
                  reg::fault::Op::rename}) {
    reg::fault::arm(op, 1, EIO);
    EXPECT_EQ(reg::write_file(p.c_str(), fresh.data(), fresh.size()), -1);
    EXPECT_EQ(reg::fault::fired(), 1);
    reg::fault::disarm();
    EXPECT_EQ(read_all(p), "old content");
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp_.path()), fs::directory_iterator()), 1);
  }
}

TEST_F(FileUtilTest, ReadFileBoundsAndTerminates) {
  const std::string p = at("f");
  write_all(p, std::string(200, 'x'));
  char buf[128];
  std::memset(buf, 'z', sizeof buf);
  std::size_t n = 0;
  ASSERT_EQ(reg::read_file(p.c_str(), buf, sizeof buf, &n), 0);
  EXPECT_EQ(n, 127u);
  EXPECT_EQ(buf[127], '\0');
  EXPECT_EQ(reg::read_file(at("missing").c_str(), buf, sizeof buf, &n), -1);
  EXPECT_EQ(reg::read_file(tmp_.str().c_str(), buf, sizeof buf, &n), -1);  // a directory
}

TEST_F(FileUtilTest, ReadFileAllocCapsAt64MiB) {
  const std::string p = at("big");
  write_all(p, "");
  std::string out;
  ASSERT_TRUE(reg::read_file_alloc(p.c_str(), out));
  EXPECT_EQ(out.size(), 0u);
  fs::resize_file(p, 64u << 20);
  ASSERT_TRUE(reg::read_file_alloc(p.c_str(), out));
  EXPECT_EQ(out.size(), 64u << 20);
  fs::resize_file(p, (64u << 20) + 1);
  EXPECT_FALSE(reg::read_file_alloc(p.c_str(), out));
  EXPECT_FALSE(reg::read_file_alloc(at("missing").c_str(), out));
}

TEST_F(FileUtilTest, ListDirKeeps512AndListDirAllKeepsEverything) {
  fs::create_directories(at("d"));
  for (int i = 0; i < 600; ++i) write_all(at("d/" + std::to_string(i)), "");
  fs::create_directories(at("d/.x"));
  write_all(at("d/..x"), "");
  reg::dir_list l;
  ASSERT_EQ(reg::list_dir(at("d").c_str(), &l), 0);
  EXPECT_EQ(l.count(), 512);
  ASSERT_EQ(reg::list_dir_all(at("d").c_str(), &l), 0);
  ASSERT_EQ(l.count(), 602);
  int dirs = 0, dotted = 0;
  for (auto& e : l.entries) {
    dirs += e.is_dir;
    dotted += e.name == ".x" || e.name == "..x";
    EXPECT_NE(e.name, ".");
    EXPECT_NE(e.name, "..");
  }
  EXPECT_EQ(dirs, 1);
  EXPECT_EQ(dotted, 2);
  fs::create_directories(at("empty"));
  ASSERT_EQ(reg::list_dir(at("empty").c_str(), &l), 0);
  EXPECT_EQ(l.count(), 0);
  EXPECT_EQ(reg::list_dir(at("d/0").c_str(), &l), -1);
  EXPECT_EQ(reg::list_dir(at("missing").c_str(), &l), -1);
}

TEST_F(FileUtilTest, MkdirsRules) {
  EXPECT_EQ(reg::mkdirs(at("a/b//c/").c_str()), 0);
  EXPECT_TRUE(fs::is_directory(at("a/b/c")));
  EXPECT_EQ(reg::mkdirs(at("a/b/c").c_str()), 0);
  write_all(at("file"), "x");
  EXPECT_EQ(reg::mkdirs(at("file").c_str()), 0);  // an existing name of any kind is accepted
  EXPECT_EQ(reg::mkdirs(at("file/sub").c_str()), -1);
  EXPECT_EQ(reg::mkdirs(""), -1);
  EXPECT_EQ(reg::mkdirs(std::string(4096, 'a').c_str()), -1);
}

TEST_F(FileUtilTest, DeleteTreeRemovesEverythingButNeverFollowsLinks) {
  write_all(at("t/a/b/c/file"), "x");
  write_all(at("t/a/other"), "y");
  write_all(at("outside/keep"), "z");
  ASSERT_EQ(symlink(at("outside").c_str(), at("t/a/link").c_str()), 0);
  EXPECT_EQ(reg::delete_tree(at("t").c_str()), 0);
  EXPECT_FALSE(fs::exists(at("t")));
  EXPECT_EQ(read_all(at("outside/keep")), "z");
  EXPECT_EQ(reg::delete_tree(at("t").c_str()), -1);
  EXPECT_EQ(reg::delete_tree(at("outside/keep").c_str()), -1);
  EXPECT_TRUE(fs::exists(at("outside/keep")));
}

TEST_F(FileUtilTest, DeleteTreeGoesOnPastFailures) {
  for (int i = 0; i < 5; ++i) write_all(at("t/" + std::to_string(i)), "x");
  reg::fault::arm(reg::fault::Op::remove, 2, EACCES);
  EXPECT_EQ(reg::delete_tree(at("t").c_str()), -1);
  reg::fault::disarm();
  EXPECT_EQ(std::distance(fs::directory_iterator(at("t")), fs::directory_iterator()), 1);
}

TEST(SortStr, ByteOrderAndStable) {
  std::vector<std::string> v = {"b", "a", "B", "a", "a-b", "a/b", "\xc3\xa9", "z"};
  reg::sort_str(v);
  std::vector<std::string> want = {"B", "a", "a", "a-b", "a/b", "b", "z", "\xc3\xa9"};
  EXPECT_EQ(v, want);
}

TEST(JsonEscape, Table) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\tb", "a\\tb"},
      {std::string("\x0b"), "\\u000b"},
      {"q\"q", "q\\\"q"},
      {"/x\\", "/x\\\\"},
      {"\x01\x1b", "\\u0001\\u001b"},
      {"\b\f\n\r", "\\b\\f\\n\\r"},
      {"\xc3\xa9\x7f", "\xc3\xa9\x7f"},
      {"\xe2\x82\xac \xf0\x9f\x98\x80 \xef\xbf\xbd", "\xe2\x82\xac \xf0\x9f\x98\x80 \xef\xbf\xbd"},
      // Not UTF-8: one U+FFFD per byte that begins no well-formed sequence.
      {"v\xff", "v\\ufffd"},
      {"\x80\xbf", "\\ufffd\\ufffd"},                        // lone continuation bytes
      {"\xc0\xaf", "\\ufffd\\ufffd"},                        // overlong '/'
      {"\xed\xa0\x80", "\\ufffd\\ufffd\\ufffd"},             // a surrogate
      {"\xf4\x90\x80\x80", "\\ufffd\\ufffd\\ufffd\\ufffd"},  // above U+10FFFF
      {"a\xe2\x82", "a\\ufffd\\ufffd"},                      // cut at the end
      {"\xc3(\xc3\xa9", "\\ufffd(\xc3\xa9"},                 // resynchronises at the next byte
  };
  for (const auto& [in, want] : cases) {
    char buf[64];
    const int n = reg::json_escape_append(buf, sizeof buf, in.c_str());
    EXPECT_EQ(std::string(buf), want);
    EXPECT_EQ(n, static_cast<int>(want.size()));
    std::string whole;
    reg::json_escape_to(whole, in);
    EXPECT_EQ(whole, want);
  }
}

TEST(JsonEscape, StopsWhenFewerThanNineBytesAreFree) {
  char buf[10];
  EXPECT_EQ(reg::json_escape_append(buf, 10, "abcdefghijklmnopqrst"), 2);
  EXPECT_STREQ(buf, "ab");
  char small[8] = "xxxxxxx";
  EXPECT_EQ(reg::json_escape_append(small, 8, "abc"), 0);
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(reg::json_escape_append(small, 0, "abc"), 0);
  // A sequence is written whole or not at all: with 11 bytes, 'a' goes (1 + 8 < 11), and the
  // three bytes of the euro sign would need 12.
  char seq[11];
  EXPECT_EQ(reg::json_escape_append(seq, sizeof seq, "a\xe2\x82\xac"), 1);
  EXPECT_STREQ(seq, "a");
  char seq_fits[12];
  EXPECT_EQ(reg::json_escape_append(seq_fits, sizeof seq_fits, "a\xe2\x82\xac"), 4);
  EXPECT_STREQ(seq_fits, "a\xe2\x82\xac");
  char empty[4] = "xyz";
  EXPECT_EQ(reg::json_escape_append(empty, 4, nullptr), 0);
  EXPECT_EQ(empty[0], '\0');
}

// The platform layer counts its calls by kind; syncs of files and directories are counted
// apart, and a sync of something that is not there fails instead of passing silently.
TEST_F(FileUtilTest, SyncsAreCountedByKind) {
  namespace p = reg::platform;
  const std::string f = at("f");
  const p::CallCounts before = p::call_counts();
  ASSERT_EQ(reg::write_file(f.c_str(), "x", 1), 0);
  std::unique_ptr<p::File> file;
  ASSERT_EQ(p::open_file(f.c_str(), p::File::Mode::append, &file), 0);
  EXPECT_EQ(file->sync(), 0);
  file.reset();
  EXPECT_EQ(p::sync_file(f.c_str()), 0);
  EXPECT_EQ(p::sync_dir(tmp_.str().c_str()), 0);
  EXPECT_NE(p::sync_dir(at("missing").c_str()), 0);
  EXPECT_NE(p::sync_file(at("missing").c_str()), 0);
  const p::CallCounts d = p::call_counts() - before;
  EXPECT_EQ(d.file_syncs, 3u);
  EXPECT_EQ(d.dir_syncs, 2u);
  EXPECT_EQ(d.renames, 1u);
  EXPECT_EQ(d.syncs(), 5u);
  EXPECT_GE(d.opens, 2u);
  EXPECT_GE(d.total(), d.syncs() + d.renames + d.opens);
}

}  // namespace
