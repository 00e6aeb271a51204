// The operator commands; each returns the process exit code.
#pragma once

#include "cli_support.h"

#include <string>

namespace tool {

int run_catalog(const GlobalOptions& g, int page_size);
int run_tags(const GlobalOptions& g, const std::string& repo);
int run_stats(const GlobalOptions& g);
// Prints the store's durability setting; records `value` first when it is not empty.
int run_durability(const GlobalOptions& g, const std::string& value);
int run_referrers(const GlobalOptions& g, const std::string& digest);
// `yes` confirms the deletion of a whole repository, which a terminal user must give.
int run_rm(const GlobalOptions& g, const std::string& target, bool yes);

struct GcOptions {
  bool dry_run = false;
  bool no_progress = false;
  std::string grace_period = "1h";  // blobs committed this recently stay
  bool delete_untagged = false;     // manifests no tag or index needs go first
  std::string min_age = "1h";       // ... once they are this old
  bool min_age_given = false;
};
int run_gc(const GlobalOptions& g, const GcOptions& o);
int run_gc_status(const GlobalOptions& g);
int run_gc_cancel(const GlobalOptions& g);

struct RetentionOptions {
  int keep = 0;
  int days = 0;
  bool include_latest = false;
  bool dry_run = false;
};
int run_retention(const GlobalOptions& g, const RetentionOptions& o);

int run_import(const GlobalOptions& g, const std::string& layout_dir, const std::string& target);
int run_export(const GlobalOptions& g, const std::string& source, const std::string& layout_dir);

}  // namespace tool
