#include "http_parser.h"

#include <boost/beast/http/error.hpp>

#include <cstring>

namespace tool {

namespace http = boost::beast::http;

void RequestParser::on_request_impl(http::verb, string_view method, string_view target, int version,
                                    error_code& ec) {
  saw_request_line_ = true;
  if (target.size() > limits_.max_url_length) {
    refusal_ = 414;
    ec = http::error::bad_target;
    return;
  }
  req_.method = std::string(method);
  req_.target = std::string(target);
  req_.version = version == 10 ? "HTTP/1.0" : "HTTP/1.1";
}

void RequestParser::on_response_impl(int, string_view, int, error_code& ec) {
  ec = http::error::bad_method;  // never called for a request parser
}

void RequestParser::on_field_impl(http::field, string_view name, string_view value,
                                  error_code& ec) {
  if (++header_count_ > limits_.max_header_count) {
    refusal_ = 431;
    ec = http::error::header_limit;
    return;
  }
  req_.headers.emplace(std::string(name), std::string(value));
}

size_t RequestParser::on_body_impl(string_view body, error_code& ec) {
  size_t room = body_space_ - body_filled_;
  if (room == 0) {
    ec = http::error::need_buffer;
    return 0;
  }
  size_t n = body.size() < room ? body.size() : room;
  std::memcpy(body_data_ + body_filled_, body.data(), n);
  body_filled_ += n;
  if (n < body.size()) ec = http::error::need_buffer;
  return n;
}

}  // namespace tool
