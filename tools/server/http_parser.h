// The request parser: Beast's HTTP/1.1 grammar, filling an HttpRequest directly and checking
// the server's limits as the bytes arrive, so an oversized request is refused before it is
// held whole. The body goes into whatever buffer the reader hands it.
#pragma once

#include <boost/beast/http/basic_parser.hpp>

#include "http_message.h"

namespace tool {

struct ParserLimits {
  size_t max_header_count = 100;
  size_t max_url_length = 8192;
};

class RequestParser : public boost::beast::http::basic_parser<true> {
 public:
  using error_code = boost::beast::error_code;
  using string_view = boost::beast::string_view;

  RequestParser(HttpRequest& req, ParserLimits limits) : req_(req), limits_(limits) {}

  // The status for a refusal the limits caused (414, 431), else 0.
  int refusal() const { return refusal_; }
  bool saw_request_line() const { return saw_request_line_; }
  // Where body bytes go next; the parser stops with need_buffer when the space is full.
  void set_body_buffer(char* data, size_t size) {
    body_data_ = data;
    body_space_ = size;
    body_filled_ = 0;
  }
  size_t body_filled() const { return body_filled_; }
  bool body_buffer_full() const { return body_filled_ == body_space_; }

 private:
  void on_request_impl(boost::beast::http::verb, string_view method, string_view target,
                       int version, error_code& ec) override;
  void on_response_impl(int, string_view, int, error_code& ec) override;
  void on_field_impl(boost::beast::http::field, string_view name, string_view value,
                     error_code& ec) override;
  void on_header_impl(error_code&) override {}
  void on_body_init_impl(const boost::optional<std::uint64_t>&, error_code&) override {}
  size_t on_body_impl(string_view body, error_code& ec) override;
  void on_chunk_header_impl(std::uint64_t, string_view, error_code&) override {}
  size_t on_chunk_body_impl(std::uint64_t, string_view body, error_code& ec) override {
    return on_body_impl(body, ec);
  }
  void on_finish_impl(error_code&) override {}

  HttpRequest& req_;
  ParserLimits limits_;
  int refusal_ = 0;
  bool saw_request_line_ = false;
  size_t header_count_ = 0;
  char* body_data_ = nullptr;
  size_t body_space_ = 0, body_filled_ = 0;
};

}  // namespace tool
