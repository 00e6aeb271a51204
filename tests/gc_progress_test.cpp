// Progress snapshot (format, reader rules, freshness) and the cancel request.
#include <climits>
#include <cstring>

#include "core/context.h"
#include "maintenance/gc_progress.h"
#include "platform/fault.h"
#include "reg_storage.h"
#include "support/store_files.h"

namespace {

using namespace regtest;
using reg::fault::Op;

constexpr char kIdle[] =
    "{\"running\":false,\"phase\":\"idle\",\"blobs_scanned\":0,\"blobs_total\":0,\"blobs_deleted\":"
    "0,"
    "\"bytes_freed\":0,\"dry_run\":false,\"started_unix\":0,\"elapsed_ms\":0,\"cancelled\":false}";

std::string snapshot(const char* running, const char* phase, const char* rest = "") {
  return std::string("{\"running\":") + running + ",\"phase\":\"" + phase +
         "\",\"blobs_scanned\":1,\"blobs_total\":2,\"blobs_deleted\":3,\"bytes_freed\":4,\"dry_"
         "run\":true,"
         "\"started_unix\":5,\"elapsed_ms\":6,\"cancelled\":false" +
         rest + "}";
}

class GcProgressTest : public StoreTest {
 protected:
  fs::path progress() const { return rootp() / "_gc" / "progress.json"; }
  void write_progress(const std::string& text, std::int64_t age_secs = 0) {
    write_all(progress(), text);
    set_age(progress(), age_secs);
  }
};

TEST_F(GcProgressTest, NoStateDirectoryGivesIdleSnapshotAndCreatesNothing) {
  const auto before = snapshot_tree(rootp());
  EXPECT_STREQ(reg_gc_progress_json(), kIdle);
  EXPECT_EQ(snapshot_tree(rootp()), before);
}

TEST_F(GcProgressTest, UninitialisedReaderConsultsNoFile) {
  write_progress(snapshot("true", "walking"));
  EXPECT_EQ(reg_gc_cancel(), 0);
  reg_storage_cleanup();
  EXPECT_EQ(reg_gc_cancel(), -1);
  EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
  reg::fault::arm(Op::any, 0, 0);  // counts only
  EXPECT_STREQ(reg_gc_progress_json(), kIdle);
  EXPECT_EQ(reg::fault::calls(Op::any), 0);
  EXPECT_STREQ(reg_storage_last_error(),
               "not initialized - call reg_storage_init first");  // untouched
}

TEST_F(GcProgressTest, ReaderWorksUnderRootOfFailedInitialisation) {
  write_progress(snapshot("true", "walking"));
  fs::remove(rootp() / "config.json");
  fs::create_directory(rootp() / "config.json");
  ASSERT_EQ(reg_storage_init(root().c_str()), -1);
  EXPECT_STREQ(reg_storage_last_error(), "write config.json failed");
  EXPECT_EQ(reg_gc_cancel(), -1);  // guarded operations still refuse
  EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
  const std::string text = reg_gc_progress_json();
  EXPECT_EQ(text.rfind("{\"running\":true,\"phase\":\"walking\",", 0), 0u) << text;
}

struct ReaderCase {
  const char* name;
  std::string file;
  std::int64_t age_secs;  // negative: a time in the future
  std::string expected;
};

class SnapshotReader : public GcProgressTest, public ::testing::WithParamInterface<ReaderCase> {};

TEST_P(SnapshotReader, ReportsAsTheRulesSay) {
  write_progress(GetParam().file, GetParam().age_secs);
  EXPECT_EQ(reg_gc_progress_json(), GetParam().expected);
}

const std::string kRunning = snapshot("true", "walking");
const std::string k20 = "abcdefghijklmnopqrst";
std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}
const std::string k15ctl =
    repeat("\\u0001", 15);  // as the file spells it, and as the reader escapes it

INSTANTIATE_TEST_SUITE_P(
    Rules, SnapshotReader,
    ::testing::Values(
        ReaderCase{"FreshIsReportedAsWritten", kRunning, 0, kRunning},
        ReaderCase{"StillFreshAt599Seconds", kRunning, 599, kRunning},
        ReaderCase{"StaleAt601SecondsIsIdle", kRunning, 601, kIdle},
        ReaderCase{"FutureTimeIsFresh", kRunning, -3600, kRunning},
        ReaderCase{"EmptyPhaseWhenNotRunningIsDone", snapshot("false", ""), 0,
                   snapshot("false", "done")},
        ReaderCase{"EmptyPhaseWhileRunningStaysEmpty", snapshot("true", ""), 0,
                   snapshot("true", "")},
        ReaderCase{"LongPhaseKeepsFifteenBytes", snapshot("true", k20.c_str()), 0,
                   snapshot("true", k20.substr(0, 15).c_str())},
        ReaderCase{"PhaseNeedingEscapesStaysJson", snapshot("true", "a\\\"b"), 0,
                   snapshot("true", "a\\\"b")},
        ReaderCase{"FifteenControlBytesAllEscaped", snapshot("true", k15ctl.c_str()), 0,
                   snapshot("true", k15ctl.c_str())},
        ReaderCase{"RunningAsNumberIsNotRunning", snapshot("1", "walking"), 0,
                   snapshot("false", "walking")},
        ReaderCase{"RealNumberReadsZero", "{\"bytes_freed\":12.0,\"phase\":\"x\",\"elapsed_ms\":1}",
                   0,
                   "{\"running\":false,\"phase\":\"x\",\"blobs_scanned\":0,\"blobs_total\":0,"
                   "\"blobs_deleted\":0,"
                   "\"bytes_freed\":0,\"dry_run\":false,\"started_unix\":0,\"elapsed_ms\":1,"
                   "\"cancelled\":false}"},
        ReaderCase{"PhaseOfWrongTypeStaysIdle", "{\"phase\":7,\"running\":true}", 0,
                   "{\"running\":true,\"phase\":\"idle\",\"blobs_scanned\":0,\"blobs_total\":0,"
                   "\"blobs_deleted\":0,"
                   "\"bytes_freed\":0,\"dry_run\":false,\"started_unix\":0,\"elapsed_ms\":0,"
                   "\"cancelled\":false}"},
        ReaderCase{"FirstOfDuplicateKeysWins",
                   "{\"blobs_total\":7,\"blobs_total\":9,\"phase\":\"a\",\"phase\":\"b\"}", 0,
                   "{\"running\":false,\"phase\":\"a\",\"blobs_scanned\":0,\"blobs_total\":7,"
                   "\"blobs_deleted\":0,"
                   "\"bytes_freed\":0,\"dry_run\":false,\"started_unix\":0,\"elapsed_ms\":0,"
                   "\"cancelled\":false}"},
        ReaderCase{"CountersKeepLow32Bits",
                   "{\"blobs_total\":4294967297,\"bytes_freed\":-5,\"phase\":\"x\"}", 0,
                   "{\"running\":false,\"phase\":\"x\",\"blobs_scanned\":0,\"blobs_total\":1,"
                   "\"blobs_deleted\":0,"
                   "\"bytes_freed\":-5,\"dry_run\":false,\"started_unix\":0,\"elapsed_ms\":0,"
                   "\"cancelled\":false}"},
        ReaderCase{"HugeStartTimeGivesZeroElapsed",
                   "{\"started_unix\":9223372036854775807,\"phase\":\"x\"}", 0,
                   "{\"running\":false,\"phase\":\"x\",\"blobs_scanned\":0,\"blobs_total\":0,"
                   "\"blobs_deleted\":0,"
                   "\"bytes_freed\":0,\"dry_run\":false,\"started_unix\":9223372036854775807,"
                   "\"elapsed_ms\":0,"
                   "\"cancelled\":false}"},
        ReaderCase{"NotJsonIsIdle", "{\"running\":tru", 0, kIdle},
        ReaderCase{"ArrayIsIdle", "[1,2]", 0, kIdle}, ReaderCase{"EmptyFileIsIdle", "", 0, kIdle}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(GcProgressTest, ElapsedIsWorkedOutFromStartWhenMissing) {
  const auto started = std::time(nullptr) - 30;
  write_progress(
      "{\"running\":true,\"phase\":\"walking\",\"started_unix\":" + std::to_string(started) + "}");
  const std::string text = reg_gc_progress_json();
  const auto pos = text.find("\"elapsed_ms\":");
  ASSERT_NE(pos, std::string::npos) << text;
  const long long elapsed = std::stoll(text.substr(pos + 13));
  EXPECT_GE(elapsed, 30000);
  EXPECT_LE(elapsed, 32000);
}

TEST_F(GcProgressTest, WriterOutputReadsBackUnchanged) {
  reg::gc_progress rec;
  rec.running = 1;
  reg::gc_set_phase(rec, "deleting");
  rec.blobs_scanned = INT_MIN;
  rec.blobs_total = INT_MAX;
  rec.blobs_deleted = -1;
  rec.bytes_freed = LLONG_MIN;
  rec.dry_run = 7;
  rec.started_unix = LLONG_MAX;
  rec.elapsed_ms = LLONG_MAX;
  rec.cancelled = 1;
  char text[reg::kSnapshotCap];
  const int n = reg::gc_snapshot_json(rec, text);
  EXPECT_STREQ(text,
               "{\"running\":true,\"phase\":\"deleting\",\"blobs_scanned\":-2147483648,\"blobs_"
               "total\":2147483647,"
               "\"blobs_deleted\":-1,\"bytes_freed\":-9223372036854775808,\"dry_run\":true,"
               "\"started_unix\":9223372036854775807,\"elapsed_ms\":9223372036854775807,"
               "\"cancelled\":true}");
  EXPECT_EQ(n, static_cast<int>(std::strlen(text)));
  ASSERT_EQ(reg::gc_write_snapshot(rec), 0);
  EXPECT_EQ(read_all(progress()), text);
  EXPECT_STREQ(reg_gc_progress_json(), text);
  reg::gc_set_phase(rec, "fifteen-chars-x");
  rec.blobs_total = rec.blobs_deleted = INT_MIN;
  rec.started_unix = rec.elapsed_ms = LLONG_MIN;
  rec.running = rec.dry_run = rec.cancelled = 0;     // "false" is the longer word
  EXPECT_EQ(reg::gc_snapshot_json(rec, text), 264);  // the longest snapshot
}

TEST_F(GcProgressTest, CancelLeavesOneEmptyMarker) {
  EXPECT_EQ(reg::gc_cancel_requested(), 0);
  EXPECT_EQ(reg_gc_cancel(), 0);
  EXPECT_EQ(reg_gc_cancel(), 0);
  EXPECT_EQ(reg::gc_cancel_requested(), 1);
  auto tree = snapshot_tree(rootp() / "_gc");
  EXPECT_EQ(tree, (std::map<std::string, std::string>{{"cancel", ""}}));
  reg::gc_discard_cancel();
  EXPECT_EQ(reg::gc_cancel_requested(), 0);
}

TEST_F(GcProgressTest, DirectoryNamedCancelIsNoRequest) {
  fs::create_directories(rootp() / "_gc" / "cancel");
  EXPECT_EQ(reg::gc_cancel_requested(), 0);
  reg::gc_discard_cancel();
  EXPECT_TRUE(fs::is_directory(rootp() / "_gc" / "cancel"));
  EXPECT_EQ(reg_gc_cancel(), -1);
  EXPECT_STREQ(reg_storage_last_error(), "cannot write gc cancel marker");
}

TEST_F(GcProgressTest, CancelFailuresReportTheirStep) {
  struct Case {
    Op op;
    const char* message;
  };
  for (const Case& c : {Case{Op::mkdir, "cannot create gc state directory"},
                        Case{Op::open, "cannot write gc cancel marker"},
                        Case{Op::close, "cannot write gc cancel marker"}}) {
    SCOPED_TRACE(c.message);
    fs::remove_all(rootp() / "_gc");
    reg::fault::arm(c.op, 1, EIO, /*sticky=*/true);
    EXPECT_EQ(reg_gc_cancel(), -1);
    EXPECT_STREQ(reg_storage_last_error(), c.message);
    EXPECT_GE(reg::fault::fired(), 1);
    reg::fault::disarm();
  }
  fs::remove_all(rootp() / "_gc");
  write_all(rootp() / "_gc", "a file");  // mkdirs accepts any existing name; the open then fails
  EXPECT_EQ(reg_gc_cancel(), -1);
  EXPECT_STREQ(reg_storage_last_error(), "cannot write gc cancel marker");
  EXPECT_EQ(read_all(rootp() / "_gc"), "a file");
}

}  // namespace
