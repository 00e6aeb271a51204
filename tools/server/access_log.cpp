#include "access_log.h"

#include "json_util.h"

#include <ctime>

namespace tool {
namespace {

std::string or_dash(const std::string& s) { return s.empty() ? "-" : escape_log_text(s); }

// `when` (Unix seconds) in UTC, in strftime's `format`.
std::string utc_time(long long when, const char* format) {
  std::time_t t = static_cast<std::time_t>(when);
  std::tm tm;
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, format, &tm);
  return buf;
}

std::string common_time(long long when) { return utc_time(when, "%d/%b/%Y:%H:%M:%S +0000"); }

std::string duration_text(long long us) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(us) / 1e6);
  return buf;
}

// JSON strings keep the request's text; invalid UTF-8 becomes escapes rather than failing.
std::string json_line(const ExchangeRecord& r, long long when) {
  MutDocPtr doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* o = yyjson_mut_obj(doc.get());
  yyjson_mut_doc_set_root(doc.get(), o);
  auto str = [&](const char* key, const std::string& v) {
    yyjson_mut_obj_add_strncpy(doc.get(), o, key, v.data(), v.size());
  };
  str("time", iso_time(when));
  str("remote_addr", r.remote_addr);
  str("user", r.user);
  str("method", r.method);
  str("target", r.target);
  str("version", r.version);
  yyjson_mut_obj_add_int(doc.get(), o, "status", r.status);
  yyjson_mut_obj_add_int(doc.get(), o, "bytes", r.bytes);
  yyjson_mut_obj_add_real(doc.get(), o, "duration_s", static_cast<double>(r.duration_us) / 1e6);
  if (!r.note.empty()) str("error", r.note);
  size_t len = 0;
  std::unique_ptr<char, decltype(&free)> text(
      yyjson_mut_write(doc.get(), YYJSON_WRITE_ALLOW_INVALID_UNICODE | YYJSON_WRITE_ESCAPE_UNICODE,
                       &len),
      &free);
  return text ? std::string(text.get(), len) : std::string("{}");
}

}  // namespace

std::string iso_time(long long when) { return utc_time(when, "%Y-%m-%dT%H:%M:%SZ"); }

void AccessLog::FileClose::operator()(FILE* f) const noexcept {
  if (f != stdout && f != stderr) fclose(f);
}

bool AccessLog::open(const std::string& path, AccessLogFormat format) {
  format_ = format;
  if (path.empty())
    out_.reset(stderr);
  else if (path == "-")
    out_.reset(stdout);
  else
    out_.reset(std::fopen(path.c_str(), "a"));
  return out_ != nullptr;
}

void AccessLog::write(const ExchangeRecord& r) {
  std::string line = format_access_line(r, format_, static_cast<long long>(std::time(nullptr)));
  line += '\n';
  std::lock_guard<std::mutex> l(m_);
  std::fwrite(line.data(), 1, line.size(), out_.get());
  std::fflush(out_.get());
}

std::string escape_log_text(const std::string& s) {
  static const char* kHex = "0123456789abcdef";
  std::string out;
  out.reserve(s.size());
  for (unsigned char c : s) {
    if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string format_access_line(const ExchangeRecord& r, AccessLogFormat format, long long when) {
  if (format == AccessLogFormat::json) return json_line(r, when);
  std::string request =
      r.method.empty() ? "-" : escape_log_text(r.method + " " + r.target + " " + r.version);
  return or_dash(r.remote_addr) + " - " + or_dash(r.user) + " [" + common_time(when) + "] \"" +
         request + "\" " + std::to_string(r.status) + " " + std::to_string(r.bytes) + " " +
         duration_text(r.duration_us) +
         (r.note.empty() ? "" : " \"" + escape_log_text(r.note) + "\"");
}

}  // namespace tool
