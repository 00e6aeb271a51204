// Error responses in the Distribution API's JSON form, and the mapping from the library's
// messages to status codes and error codes.
#pragma once

#include "http_message.h"

#include <string>
#include <string_view>

namespace tool {

struct ApiError {
  int status;
  const char* code;
};

// The status and code for a library failure message. The library's messages are fixed
// texts, so a prefix decides; anything unknown is a server-side failure.
ApiError map_library_error(std::string_view message);

// {"errors":[{"code":...,"message":...}]} with the status and the JSON content type.
void send_error(HttpResponse& res, int status, const char* code, std::string_view message);
void send_error(HttpResponse& res, ApiError e, std::string_view message);

// The last library failure, mapped; call with the library lock held, or pass the copied text.
void send_library_error(HttpResponse& res, const std::string& message);

}  // namespace tool
