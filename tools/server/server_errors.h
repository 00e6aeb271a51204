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

// A library failure, mapped. Called on the thread that made the failing call: a failure the
// storage reports as passing (out of descriptors or memory) is 503 with Retry-After, and the
// reason the platform layer kept for a server-side failure goes to the access log.
void send_library_error(HttpResponse& res, const std::string& message);

// The storage root as the server was given it: error bodies never show it, so paths in
// messages appear relative to the root. Set once, before serving.
void set_error_path_root(const std::string& root);
// `message` with every occurrence of the root (as given, and as an absolute path) cut away.
std::string without_root(std::string message);

}  // namespace tool
