// Tag list and catalog (n, last, Link paging) and referrers (this repository's only, with the
// artifactType filter).
#include <reg_storage.h>

#include "digest.h"
#include "json_util.h"
#include "server_context.h"
#include "server_errors.h"
#include "server_routes.h"

#include <cstdlib>
#include <vector>

namespace tool {
namespace {

constexpr int kMaxPage = 10000;

// Page size from ?n=: -1 when absent (everything), else 0..kMaxPage; false when malformed.
bool page_size(const HttpRequest& req, int& n) {
  n = -1;
  if (!req.has_param("n")) return true;
  std::string v = req.get_param_value("n");
  if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos)
    return false;
  n = std::atoi(v.c_str());
  if (n > kMaxPage) n = kMaxPage;
  return true;
}

std::string percent_encode(const std::string& s) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~' || c == '/')
      out += static_cast<char>(c);
    else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// Runs one paged listing call under the lock and answers with its JSON and a Link header.
template <class Call>
void send_page(ServerContext& /*ctx*/, const HttpRequest& req, HttpResponse& res,
               const std::string& path, const std::string& empty_json, Call call) {
  int n;
  if (!page_size(req, n)) return send_error(res, 400, "PAGINATION_NUMBER_INVALID", "invalid n");
  if (n == 0) return res.set_content(empty_json, "application/json");
  std::string last = req.get_param_value("last");
  int has_more = 0;
  char next_last[1024] = {0};
  std::string json, error;
  {
    const char* text =
        call(n, last.empty() ? nullptr : last.c_str(), &has_more, next_last, sizeof next_last);
    if (text != nullptr)
      json = text;
    else
      error = reg_storage_last_error();
  }
  if (!error.empty()) return send_library_error(res, error);
  // An unpaged answer that did not fit the library's buffer continues unpaged as well.
  const std::string size = n > 0 ? "n=" + std::to_string(n) + "&" : "";
  if (has_more)
    res.set_header(
        "Link", "<" + path + "?" + size + "last=" + percent_encode(next_last) + ">; rel=\"next\"");
  res.status = 200;
  res.set_content(json, "application/json");
}

}  // namespace

void handle_tags_list(ServerContext& ctx, const std::string& name, const HttpRequest& req,
                      HttpResponse& res) {
  std::string path = "/v2/" + name + "/tags/list";
  send_page(ctx, req, res, path, "{\"name\":\"" + name + "\",\"tags\":[]}",
            [&name](int n, const char* last, int* more, char* next, size_t size) {
              return reg_tags_list_json_page(name.c_str(), n, last, more, next, size);
            });
}

void handle_catalog(ServerContext& ctx, const HttpRequest& req, HttpResponse& res) {
  send_page(ctx, req, res, "/v2/_catalog", "{\"repositories\":[]}",
            [](int n, const char* last, int* more, char* next, size_t size) {
              return reg_catalog_json_page(n, last, more, next, size);
            });
}

}  // namespace tool
