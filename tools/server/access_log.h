// The access log: one line per exchange, also for requests the HTTP layer refused before
// routing. Text lines in the common log form with the user and the duration appended, or one
// JSON object a line. Request text is escaped, so no client can forge or split a line.
#pragma once

#include "http_server.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace tool {

enum class AccessLogFormat { text, json };

class AccessLog {
 public:
  // `path` "" for stderr, "-" for stdout; false when the file cannot be opened.
  bool open(const std::string& path, AccessLogFormat format);
  void write(const ExchangeRecord& r);

 private:
  struct FileClose {
    void operator()(FILE* f) const noexcept;
  };
  std::mutex m_;
  std::unique_ptr<FILE, FileClose> out_;
  AccessLogFormat format_ = AccessLogFormat::text;
};

// One line of the log, without its newline; `when` is seconds since the Unix epoch.
std::string format_access_line(const ExchangeRecord& r, AccessLogFormat format, long long when);

// `when` (seconds since the Unix epoch) as "2026-01-31T12:00:00Z".
std::string iso_time(long long when);

// Control characters, '"', '\\' and bytes above 0x7E as \xHH.
std::string escape_log_text(const std::string& s);

}  // namespace tool
