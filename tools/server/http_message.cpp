#include "http_message.h"

#include <unistd.h>

#include <algorithm>

namespace tool {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool equal_ci(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

void parse_query(std::string_view query, std::multimap<std::string, std::string>& params) {
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (pair.empty()) continue;
    size_t eq = pair.find('=');
    std::string key = percent_decode(pair.substr(0, eq), true);
    std::string value =
        eq == std::string_view::npos ? std::string() : percent_decode(pair.substr(eq + 1), true);
    params.emplace(std::move(key), std::move(value));
  }
}

}  // namespace

bool CaseInsensitiveLess::operator()(std::string_view a, std::string_view b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return lower(x) < lower(y); });
}

bool HttpRequest::has_header(std::string_view name) const {
  return headers.find(name) != headers.end();
}

std::string HttpRequest::get_header_value(std::string_view name) const {
  auto it = headers.find(name);
  return it == headers.end() ? std::string() : it->second;
}

bool HttpRequest::has_param(const std::string& name) const { return params.count(name) > 0; }

std::string HttpRequest::get_param_value(const std::string& name) const {
  auto it = params.find(name);
  return it == params.end() ? std::string() : it->second;
}

std::string percent_decode(std::string_view s, bool plus_is_space) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    int hi = 0, lo = 0;
    if (s[i] == '%' && i + 2 < s.size() && (hi = hex_value(s[i + 1])) >= 0 &&
        (lo = hex_value(s[i + 2])) >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else if (plus_is_space && s[i] == '+') {
      out += ' ';
    } else {
      out += s[i];
    }
  }
  return out;
}

bool set_request_target(HttpRequest& req, std::string_view target) {
  if (target.empty() || target.front() != '/') return false;
  size_t q = target.find('?');
  if (q != std::string_view::npos && target.find('?', q + 1) != std::string_view::npos)
    return false;
  // `target` may view req.target itself, so that is replaced last.
  std::string path = percent_decode(target.substr(0, q), false);
  if (path.find('\0') != std::string::npos) return false;
  std::multimap<std::string, std::string> params;
  if (q != std::string_view::npos) parse_query(target.substr(q + 1), params);
  req.path = std::move(path);
  req.params = std::move(params);
  req.target = std::string(target);
  return true;
}

FileBody::~FileBody() {
  if (fd >= 0) ::close(fd);
}

void HttpResponse::set_header(std::string_view name, std::string_view value) {
  if (name.empty() || name.find_first_of("\r\n:") != std::string_view::npos ||
      value.find_first_of("\r\n") != std::string_view::npos)
    return;
  headers.emplace_back(std::string(name), std::string(value));
}

std::string HttpResponse::get_header_value(std::string_view name) const {
  for (const auto& [n, v] : headers)
    if (equal_ci(n, name)) return v;
  return equal_ci(name, "Content-Type") ? content_type : std::string();
}

bool HttpResponse::has_header(std::string_view name) const {
  for (const auto& h : headers)
    if (equal_ci(h.first, name)) return true;
  return false;
}

void HttpResponse::set_content(std::string b, std::string_view type) {
  body = std::move(b);
  content_type = std::string(type);
  file.reset();
}

void HttpResponse::send_file(std::shared_ptr<FileBody> f, std::string_view type) {
  body.clear();
  content_type = std::string(type);
  file = std::move(f);
}

long long HttpResponse::body_length() const {
  return file ? file->length : static_cast<long long>(body.size());
}

}  // namespace tool
