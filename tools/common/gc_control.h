// The control socket through which `tarnwick-registry gc` asks a server running on the same
// store to collect, instead of racing it: `_gc/control.sock`, a local socket that only the
// store's owner may use (the file is the owner's alone, and the server checks the peer's user).
// One request per connection: "gc <dry run 0/1> <grace s> <untagged after s, -1 for none>",
// answered when the collection ends with "0<summary>" or "1<message>", each one line.
#pragma once

#include "gc_runner.h"

#include <string>

namespace tool {

// The server's end. Closing it removes the socket file.
class ControlListener {
 public:
  ControlListener() = default;
  ControlListener(const ControlListener&) = delete;
  ControlListener& operator=(const ControlListener&) = delete;
  ~ControlListener();
  // False, with `error`, when the socket cannot be made (another server on this host may
  // answer for the store already).
  bool open(const std::string& root, std::string& error);
  int fd() const { return fd_; }
  // Accepts one connection from the store's owner (or root); -1 for none.
  int accept_owner() const;

 private:
  int fd_ = -1;
  std::string path_;
};

// Reads one request; false for anything malformed.
bool read_control_request(int fd, CollectionRequest& req);
bool write_control_reply(int fd, bool ok, const std::string& text);

// Client: a connection to the server that answers for `root`; -1 when none does.
int connect_control(const std::string& root);
bool write_control_request(int fd, const CollectionRequest& req);
// Reads what has arrived of the reply; true once it is whole (or the server went away: then
// `ok` is false and `text` says so).
bool read_control_reply(int fd, std::string& buffer, bool& ok, std::string& text);

}  // namespace tool
