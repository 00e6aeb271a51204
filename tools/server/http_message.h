// One HTTP request as the handlers see it (method, decoded path and query, headers), the
// response they build, and the reader that hands them the request body piece by piece.
// Free of any network code, so handlers can be driven in process by tests and fuzzers.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tool {

// Header names compare without regard to case.
struct CaseInsensitiveLess {
  bool operator()(std::string_view a, std::string_view b) const;
  using is_transparent = void;
};

struct HttpRequest {
  std::string method;
  std::string target;   // as received: path and query
  std::string path;     // percent-decoded
  std::string version;  // "HTTP/1.1"
  std::string remote_addr;
  std::multimap<std::string, std::string, CaseInsensitiveLess> headers;
  std::multimap<std::string, std::string> params;  // decoded query parameters

  bool has_header(std::string_view name) const;
  // The first value of `name`, or "" when absent.
  std::string get_header_value(std::string_view name) const;
  bool has_param(const std::string& name) const;
  std::string get_param_value(const std::string& name) const;
};

// Splits `target` into the decoded path and parameters. False when it is not an origin-form
// target ("/..."), holds a second '?', or decodes to a NUL.
bool set_request_target(HttpRequest& req, std::string_view target);

// %XX sequences decoded (and '+' as a space in a query); a malformed escape stays as it is.
std::string percent_decode(std::string_view s, bool plus_is_space);

// An open file whose bytes a response sends; closed when the last response holding it goes.
struct FileBody {
  int fd = -1;
  long long offset = 0, length = 0;
  FileBody() = default;
  FileBody(const FileBody&) = delete;
  FileBody& operator=(const FileBody&) = delete;
  ~FileBody();
};

struct HttpResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::string content_type;
  std::shared_ptr<FileBody> file;  // sent instead of `body` when set
  bool close = false;              // close the connection after this response
  std::string user;                // the authenticated user, for the access log
  std::string log_note;            // why the server failed the request, for the access log only

  // Adds a header; one with CR or LF in its name or value is dropped, so no request text
  // echoed into a header can split the response.
  void set_header(std::string_view name, std::string_view value);
  std::string get_header_value(std::string_view name) const;
  bool has_header(std::string_view name) const;
  void set_content(std::string body, std::string_view type);
  void send_file(std::shared_ptr<FileBody> f, std::string_view type);
  // Bytes of the body proper (what Content-Length says unless a HEAD handler set it).
  long long body_length() const;
};

// Called with each piece of a request body; false stops the reading.
using BodyReceiver = std::function<bool(const char* data, size_t len)>;
// Reads the whole body into `receive`; false when the body is incomplete, malformed, timed
// out or refused by the receiver.
using BodyReader = std::function<bool(const BodyReceiver& receive)>;

}  // namespace tool
