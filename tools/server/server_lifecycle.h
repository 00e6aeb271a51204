// What the commands that listen share (`serve` and `token-server`): the listen address, the
// descriptor limit, and the signals that stop them or make them reread their policy.
#pragma once

#include "http_server.h"
#include "server_access.h"

#include <string>
#include <thread>

namespace tool {

// "HOST:PORT" or "[V6]:PORT"; false when it is neither.
bool split_listen(const std::string& listen, std::string& host, int& port);

// Every connection holds a descriptor: allow as many as the hard limit does.
void raise_descriptor_limit();

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread (call it before any thread starts,
// so every thread inherits the mask) and ignores SIGPIPE.
void block_stop_signals();

// Takes the blocked signals on a thread of its own: SIGHUP rereads `policy` (null: nothing to
// reread; a policy that fails to load leaves the one in force), SIGINT or SIGTERM shuts `svr`
// down and ends the thread.
std::thread start_signal_watcher(HttpServer& svr, PolicyHolder* policy);

}  // namespace tool
