// Runs tarnwick-registry as a child process for the HTTP tests.
#pragma once

#include <httplib.h>

#include <string>
#include <vector>

namespace tooltest {

// Runs the tool with `args`; returns its exit code and fills `out` with its stdout and `err`
// with its stderr (left alone when null).
int run_tool(const std::vector<std::string>& args, std::string* out = nullptr,
             std::string* err = nullptr);
// Starts the tool with `args` and its stdout on `out_fd`; returns its pid, for
// `wait_tool` to reap and return its exit code (-1 when it did not exit normally).
int start_tool(const std::vector<std::string>& args, int& out_fd);
int wait_tool(int pid);

// `tarnwick-registry --root ROOT [global] serve [serve args] --listen LISTEN`, stopped with
// SIGTERM. With `tls` the clients speak HTTPS and do not verify the server's certificate.
class ServerProcess {
 public:
  ServerProcess(const std::string& root, const std::vector<std::string>& global_args,
                const std::vector<std::string>& serve_args,
                const std::string& listen = "127.0.0.1:0", bool tls = false);
  ~ServerProcess();
  int port() const { return port_; }
  int metrics_port() const { return metrics_port_; }  // 0 without --metrics-listen
  int pid() const { return pid_; }
  httplib::Client client() const;
  // Sends SIGTERM and returns the exit code (-1 when it did not exit normally).
  int stop();

 private:
  int pid_ = -1;
  int port_ = 0;
  int metrics_port_ = 0;
  bool tls_ = false;
};

// A new directory under `base`.
std::string make_temp_dir(const std::string& base = "/tmp");

// The value of the sample `series` (name and labels, exactly as rendered) in a metrics
// exposition; -1 when absent.
double metric_sample(const std::string& text, const std::string& series);

// Writes `request` to a new loopback connection and reads the reply until the server closes.
std::string send_raw(int port, const std::string& request);

}  // namespace tooltest
