// The server's HTTP layer against a running server: slow and silent clients do not stall
// service, pipelined requests are answered in order, and each limit is answered with its
// status; plus the access log's line format.
#include <gtest/gtest.h>

#include "access_log.h"
#include "digest.h"
#include "http_message.h"
#include "server_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using tooltest::ServerProcess;

int connect_to(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void send_all(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

// What the server sends within `ms`, or until it closes.
std::string read_for(int fd, int ms) {
  std::string out;
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) return out;
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

std::string exchange(int port, const std::string& request, int ms = 3000) {
  int fd = connect_to(port);
  send_all(fd, request);
  std::string reply = read_for(fd, ms);
  close(fd);
  return reply;
}

class HttpLayerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    signal(SIGPIPE, SIG_IGN);
    dir_ = tooltest::make_temp_dir();
    server_ = std::make_unique<ServerProcess>(
        dir_ + "/store", std::vector<std::string>{},
        std::vector<std::string>{"--header-timeout", "2", "--max-header-count", "20",
                                 "--max-url-length", "300", "--max-header-bytes", "4096",
                                 "--threads", "4"});
  }
  static void TearDownTestSuite() {
    EXPECT_EQ(server_->stop(), 0);
    server_.reset();
    std::filesystem::remove_all(dir_);
  }
  static int port() { return server_->port(); }

  static inline std::string dir_;
  static inline std::unique_ptr<ServerProcess> server_;
};

// More silent and trickling connections than the old one-thread-per-connection server had
// threads: a fresh client is still served at once, and the tricklers get 408 when their
// header time is up.
TEST_F(HttpLayerTest, SlowClientsDoNotStallAFreshOne) {
  constexpr int kIdle = 100, kTrickling = 100;
  std::vector<int> idle, trickling;
  for (int i = 0; i < kIdle; ++i) idle.push_back(connect_to(port()));
  for (int i = 0; i < kTrickling; ++i) {
    trickling.push_back(connect_to(port()));
    send_all(trickling.back(), "GET /v2/ HTTP/1.1\r\nX-Slow: ");
  }
  std::atomic<bool> stop{false};
  std::thread trickler([&] {
    while (!stop) {
      for (int fd : trickling) send_all(fd, "a");
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto t0 = Clock::now();
  httplib::Client c = server_->client();
  auto r = c.Get("/v2/");
  auto waited = Clock::now() - t0;
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_LT(waited, std::chrono::milliseconds(500));
  std::string late = read_for(trickling[0], 4000);  // the 2 s header time runs out
  EXPECT_EQ(late.substr(0, 12), "HTTP/1.1 408") << late;
  stop = true;
  trickler.join();
  for (int fd : idle) close(fd);
  for (int fd : trickling) close(fd);
}

TEST_F(HttpLayerTest, PipelinedRequestsAreAnsweredInOrder) {
  std::string reply =
      exchange(port(),
               "GET /v2/ HTTP/1.1\r\nHost: x\r\n\r\n"
               "GET /v2/_catalog HTTP/1.1\r\nHost: x\r\n\r\n"
               "GET /v2/nothing/here HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  size_t a = reply.find("HTTP/1.1 200"), b = reply.find("{\"repositories\":[]}"),
         c = reply.find("HTTP/1.1 404");
  ASSERT_NE(a, std::string::npos) << reply;
  ASSERT_NE(b, std::string::npos) << reply;
  ASSERT_NE(c, std::string::npos) << reply;
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
}

TEST_F(HttpLayerTest, EachLimitIsAnsweredWithItsStatus) {
  std::string many;
  for (int i = 0; i < 21; ++i) many += "X-" + std::to_string(i) + ": y\r\n";
  struct Case {
    std::string request;
    const char* status;
  } cases[] = {
      {"GET /v2/ HTTP/1.1\r\n" + many + "\r\n", "431"},
      {"GET /v2/ HTTP/1.1\r\nX-Big: " + std::string(5000, 'b') + "\r\n\r\n", "431"},
      {"GET /v2/" + std::string(400, 'a') + " HTTP/1.1\r\n\r\n", "414"},
      {"GET /v2/" + std::string(5000, 'a') + " HTTP/1.1\r\n\r\n", "414"},
      {"GET /v2/ HTTP/1.1\r\nContent-Length: 18446744073709551616\r\n\r\n", "400"},
      {"GARBAGE\r\n\r\n", "400"},
      {"GET /v2/ HTTP/1.1\r\nHost", "408"},  // never finished
  };
  for (const Case& c : cases) {
    std::string reply = exchange(port(), c.request);
    EXPECT_EQ(reply.substr(0, 12), std::string("HTTP/1.1 ") + c.status) << c.request.substr(0, 60);
    EXPECT_NE(reply.find("{\"errors\":[{\"code\":"), std::string::npos) << reply;
    EXPECT_NE(reply.find("Connection: close"), std::string::npos) << reply;
  }
}

TEST(HttpLayerLimitTest, ConnectionsBeyondTheLimitGet503) {
  std::string dir = tooltest::make_temp_dir();
  {
    ServerProcess server(dir + "/store", {}, {"--max-connections-per-address", "2"});
    int a = connect_to(server.port()), b = connect_to(server.port());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string third = exchange(server.port(), "GET /v2/ HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(third.substr(0, 12), "HTTP/1.1 503") << third;
    EXPECT_NE(third.find("Retry-After"), std::string::npos);
    close(a);
    close(b);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(
        exchange(server.port(), "GET /v2/ HTTP/1.1\r\nConnection: close\r\n\r\n").substr(0, 12),
        "HTTP/1.1 200");
  }
  std::filesystem::remove_all(dir);
}

// A request in flight when SIGTERM comes is still answered; then the server exits 0.
TEST(HttpLayerDrainTest, RequestInFlightFinishesAfterSigterm) {
  std::string dir = tooltest::make_temp_dir();
  ServerProcess server(dir + "/store", {}, {"--drain-timeout", "5"});
  int fd = connect_to(server.port());
  send_all(fd, "POST /v2/d/blobs/uploads/?digest=sha256:" + std::string(64, '0') +
                   " HTTP/1.1\r\nContent-Length: 4\r\n\r\nab");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  kill(server.pid(), SIGTERM);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  send_all(fd, "cd");
  std::string reply = read_for(fd, 3000);
  close(fd);
  EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 400") << reply;  // digest mismatch, answered
  EXPECT_NE(reply.find("DIGEST_INVALID"), std::string::npos) << reply;
  EXPECT_EQ(server.stop(), 0);
  std::filesystem::remove_all(dir);
}

// Sessions are bounded per user, and one left idle is cancelled: its file goes with it. They
// live in the store, so one still open when the server stops continues on the next one.
TEST(UploadSessionLimitTest, IdleSessionsAreCancelledBoundsAnswer429AndSessionsOutliveTheServer) {
  std::string dir = tooltest::make_temp_dir();
  std::vector<std::string> locations;
  auto uploads = [&] {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir + "/store/uploads"))
      n += e.path().extension() == ".part";
    return n;
  };
  {
    ServerProcess server(dir + "/store", {},
                         {"--max-uploads-per-user", "2", "--upload-idle-timeout", "1"});
    httplib::Client c = server.client();
    for (int i = 0; i < 3; ++i) {
      auto r = c.Post("/v2/s/blobs/uploads/", "", 0, "application/octet-stream");
      ASSERT_TRUE(r);
      EXPECT_EQ(r->status, i < 2 ? 202 : 429) << i;
      if (r->status == 202) locations.push_back(r->get_header_value("Location"));
    }
    EXPECT_EQ(uploads(), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    EXPECT_EQ(uploads(), 0u);
    auto gone = c.Get(locations[0].c_str());
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->status, 404);
    EXPECT_EQ(server.stop(), 0);
  }
  {
    ServerProcess server(dir + "/store", {}, {});
    httplib::Client c = server.client();
    auto r = c.Post("/v2/s/blobs/uploads/", "", 0, "application/octet-stream");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 202);
    locations[0] = r->get_header_value("Location");
    EXPECT_EQ(c.Patch(locations[0].c_str(), "abc", 3, "application/octet-stream")->status, 202);
    EXPECT_EQ(server.stop(), 0);
  }
  EXPECT_EQ(uploads(), 1u);
  ServerProcess again(dir + "/store", {}, {});
  httplib::Client c = again.client();
  const std::string digest = tool::sha256_digest("abcdef");
  auto put = c.Put((locations[0] + "?digest=" + digest).c_str(), "def", 3,
                   "application/octet-stream");
  ASSERT_TRUE(put);
  EXPECT_EQ(put->status, 201);
  EXPECT_EQ(again.stop(), 0);
  std::filesystem::remove_all(dir);
}

TEST(AccessLogTest, LinesCarryAddressUserAndDurationWithRequestTextEscaped) {
  tool::ExchangeRecord r;
  r.remote_addr = "127.0.0.1";
  r.user = "alice";
  r.method = "GET";
  r.target = "/v2/\x1b[31m\"x\n";
  r.version = "HTTP/1.1";
  r.status = 200;
  r.bytes = 12;
  r.duration_us = 1500;
  EXPECT_EQ(tool::format_access_line(r, tool::AccessLogFormat::text, 0),
            "127.0.0.1 - alice [01/Jan/1970:00:00:00 +0000] "
            "\"GET /v2/\\x1b[31m\\x22x\\x0a HTTP/1.1\" 200 12 0.002");
  EXPECT_EQ(tool::format_access_line(r, tool::AccessLogFormat::json, 0),
            R"({"time":"1970-01-01T00:00:00Z","remote_addr":"127.0.0.1","user":"alice",)"
            R"("method":"GET","target":"/v2/\u001B[31m\"x\n","version":"HTTP/1.1",)"
            R"("status":200,"bytes":12,"duration_s":0.0015})");
  tool::ExchangeRecord refused;  // refused before its request line was read
  refused.remote_addr = "10.0.0.7";
  refused.status = 408;
  EXPECT_EQ(tool::format_access_line(refused, tool::AccessLogFormat::text, 0),
            "10.0.0.7 - - [01/Jan/1970:00:00:00 +0000] \"-\" 408 0 0.000");
  // A server-side failure carries its reason, escaped like the request.
  refused.note = "cannot list tags: a (list: Permission denied)\n";
  EXPECT_EQ(tool::format_access_line(refused, tool::AccessLogFormat::text, 0),
            "10.0.0.7 - - [01/Jan/1970:00:00:00 +0000] \"-\" 408 0 0.000 "
            "\"cannot list tags: a (list: Permission denied)\\x0a\"");
  EXPECT_NE(tool::format_access_line(refused, tool::AccessLogFormat::json, 0)
                .find(R"("error":"cannot list tags: a (list: Permission denied)\n")"),
            std::string::npos);
}

TEST(HttpMessageTest, TargetsDecodeIntoPathAndParameters) {
  tool::HttpRequest req;
  ASSERT_TRUE(tool::set_request_target(req, "/v2/a%2Fb/tags/list?n=2&last=x%20y+z&flag"));
  EXPECT_EQ(req.path, "/v2/a/b/tags/list");
  EXPECT_EQ(req.get_param_value("n"), "2");
  EXPECT_EQ(req.get_param_value("last"), "x y z");
  EXPECT_TRUE(req.has_param("flag"));
  EXPECT_EQ(tool::percent_decode("%zz%4", false), "%zz%4");  // malformed escapes stay
  for (const char* bad : {"", "v2/", "/a?b?c", "/a%00b", "http://host/v2/"})
    EXPECT_FALSE(tool::set_request_target(req, bad)) << bad;
}

}  // namespace
