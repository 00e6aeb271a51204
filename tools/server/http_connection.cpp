// One client connection: TLS handshake, then request after request (kept alive, pipelined
// requests answered in order). Everything here runs on the connection's strand, except the
// handler and the body reads it makes, which run on a worker thread and wait for the strand
// to fill the next piece of the body.
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include "http_core.h"
#include "http_parser.h"

#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <limits>
#include <optional>
#include <type_traits>

namespace tool {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using beast::error_code;

constexpr size_t kBodyPiece = 1 << 20;  // body bytes handed to the handler at once
constexpr size_t kFilePiece = 256 << 10;
constexpr size_t kSendfilePiece = 4 << 20;  // bounds one turn on the strand
constexpr size_t kIdleRead = 512;      // what a kept-alive connection reserves while it waits
constexpr size_t kBodyRead = 1 << 16;  // bytes one socket read may take while a body streams
constexpr size_t kReadBufferSlack = kBodyRead;
constexpr const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";

enum class Phase { handshake, idle, header, busy, closing };

bool is_disconnect(const error_code& ec) {
  return ec == http::error::end_of_stream || ec == http::error::partial_message ||
         ec == asio::error::eof || ec == asio::error::operation_aborted ||
         ec == asio::error::connection_reset || ec == asio::error::broken_pipe ||
         ec == asio::ssl::error::stream_truncated;
}

bool equals_ci(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  return i == a.size() && b[i] == 0;
}

// The response's status line and headers; Content-Length from the body unless the handler
// set one (a HEAD answer tells the length of what GET would send).
std::string serialize_head(const HttpResponse& res, bool keep_alive) {
  std::string h = "HTTP/1.1 " + std::to_string(res.status) + " ";
  h += std::string(http::obsolete_reason(http::int_to_status(static_cast<unsigned>(res.status))));
  h += "\r\n";
  for (const auto& [name, value] : res.headers) h += name + ": " + value + "\r\n";
  // No client may take an error body or a stored manifest for a page to render.
  h += "X-Content-Type-Options: nosniff\r\n";
  if (!res.content_type.empty() && !res.has_header("Content-Type"))
    h += "Content-Type: " + res.content_type + "\r\n";
  bool bodiless = res.status == 204 || res.status == 304 || res.status < 200;
  if (!bodiless && !res.has_header("Content-Length"))
    h += "Content-Length: " + std::to_string(res.body_length()) + "\r\n";
  if (!keep_alive) h += "Connection: close\r\n";
  h += "\r\n";
  return h;
}

template <class Stream>
Stream make_stream(tcp::socket&& socket, HttpServer::Core& core) {
  if constexpr (std::is_same_v<Stream, beast::tcp_stream>)
    return Stream(std::move(socket));
  else
    return Stream(std::move(socket), *core.tls);
}

template <class Stream>
class Connection : public ConnectionHandle,
                   public std::enable_shared_from_this<Connection<Stream>> {
  static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

 public:
  Connection(HttpServer::Core& core, tcp::socket&& socket, std::string addr)
      : core_(core),
        stream_(make_stream<Stream>(std::move(socket), core)),
        addr_(std::move(addr)),
        deadline_(stream_.get_executor()),
        buffer_(static_cast<size_t>(core.config.limits.max_header_bytes) + kReadBufferSlack),
        started_(Clock::now()) {}

  ~Connection() override {
    if (registered_) core_.registry.remove(this, addr_);
    if (refusing_) core_.registry.end_refusal();
  }

  void start() {
    registered_ = core_.registry.try_add(this, this->weak_from_this(), addr_);
    if (!registered_) {
      if (!core_.registry.try_start_refusal()) return;  // dropped: the socket closes here
      refusing_ = true;
    }
    if constexpr (kTls) {
      expire_in(limits().header_timeout_s);
      stream_.async_handshake(asio::ssl::stream_base::server,
                              [self = this->shared_from_this()](error_code ec) {
                                if (ec) return self->close();
                                self->after_handshake();
                              });
    } else {
      after_handshake();
    }
  }

  void drain() override {
    asio::post(stream_.get_executor(), [self = this->shared_from_this()] {
      if (self->phase_ == Phase::idle || self->phase_ == Phase::handshake) self->close();
    });
  }

  void abort() override {
    asio::post(stream_.get_executor(), [self = this->shared_from_this()] { self->close(); });
  }

 private:
  struct Fill {
    bool pending = false, failed = false, timed_out = false, done = false;
    size_t filled = 0;
  };

  const HttpLimits& limits() const { return core_.config.limits; }
  void expire_in(int seconds) {
    beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(seconds));
  }

  void after_handshake() {
    if (refusing_) {
      phase_ = Phase::busy;
      return refuse(503, "too many connections");
    }
    begin_request();
  }

  // A fresh parser for the next request; waits (idle) until its first byte when none is
  // buffered yet, so the header timeout counts from the request's start.
  void begin_request() {
    req_ = HttpRequest();
    bytes_in_ = 0;
    req_.remote_addr = addr_;
    parser_.emplace(req_, ParserLimits{static_cast<size_t>(limits().max_header_count),
                                       static_cast<size_t>(limits().max_url_length)});
    parser_->header_limit(static_cast<std::uint32_t>(limits().max_header_bytes));
    // Bodies are streamed, their size is the handler's concern. (boost::none would trip a
    // comparison bug of Beast 1.74 and refuse every body.)
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    body_failed_ = body_timed_out_ = continue_sent_ = false;
    buffer_.shrink_to_fit();
    if (core_.draining && !first_) return close();
    if (first_ || buffer_.size() > 0) return read_header();
    phase_ = Phase::idle;
    expire_in(limits().keepalive_timeout_s);
    stream_.async_read_some(buffer_.prepare(kIdleRead),
                            [self = this->shared_from_this()](error_code ec, size_t n) {
                              self->buffer_.commit(n);
                              if (ec || self->core_.draining) return self->close();
                              self->read_header();
                            });
  }

  // The header time is kept by a timer of our own: the stream's own timeout closes the
  // socket, and a client that ran out of time is owed its 408.
  void read_header() {
    phase_ = Phase::header;
    started_ = Clock::now();
    header_timed_out_ = false;
    beast::get_lowest_layer(stream_).expires_never();
    deadline_.expires_after(std::chrono::seconds(limits().header_timeout_s));
    deadline_.async_wait([self = this->shared_from_this()](error_code ec) {
      if (ec || self->phase_ != Phase::header) return;
      self->header_timed_out_ = true;
      beast::get_lowest_layer(self->stream_).socket().cancel(ec);
    });
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = this->shared_from_this()](error_code ec, size_t) { self->on_header(ec); });
  }

  void on_header(error_code ec) {
    first_ = false;
    phase_ = Phase::busy;
    deadline_.cancel();
    if (ec) {
      if (header_timed_out_ || ec == beast::error::timeout)
        return refuse(408, "request headers not received in time");
      if (int status = parser_->refusal()) {
        return refuse(status,
                      status == 414 ? "request target too long" : "too many request header fields");
      }
      if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
        if (parser_->saw_request_line()) return refuse(431, "request headers too large");
        return refuse(414, "request target too long");
      }
      if (is_disconnect(ec)) return close();
      return refuse(400, "malformed request");
    }
    if (!set_request_target(req_, req_.target)) return refuse(400, "invalid request target");
    keep_alive_ = parser_->keep_alive();
    expect_continue_ = equals_ci(req_.get_header_value("Expect"), "100-continue");
    asio::post(core_.workers, [self = this->shared_from_this()] { self->run_handler(); });
  }

  // On a worker thread.
  void run_handler() {
    auto res = std::make_shared<HttpResponse>();
    BodyReader reader = [this](const BodyReceiver& receive) { return read_body(receive); };
    try {
      core_.handler(req_, *res, reader);
    } catch (...) {
      *res = HttpResponse();
      core_.errors(*res, 500, "internal error");
    }
    asio::post(stream_.get_executor(),
               [self = this->shared_from_this(), res] { self->write_response(std::move(*res)); });
  }

  // On a worker thread: two pieces alternate, so the network fills one while the handler
  // consumes the other.
  bool read_body(const BodyReceiver& receive) {
    if (body_failed_) return false;
    if (parser_->is_done()) return true;
    for (auto& p : pieces_)
      if (p.empty()) p.resize(kBodyPiece);
    int cur = 0;
    start_fill(cur);
    for (;;) {
      Fill f = wait_fill();
      if (f.failed) {
        body_failed_ = true;
        body_timed_out_ = f.timed_out;
        return false;
      }
      bool more = !f.done;
      if (more) start_fill(1 - cur);
      if (f.filled > 0 && !receive(pieces_[cur].data(), f.filled)) {
        if (more) wait_fill();  // the piece being filled must be left alone before returning
        return false;
      }
      if (!more) return true;
      cur = 1 - cur;
    }
  }

  void start_fill(int piece) {
    {
      std::lock_guard<std::mutex> l(fill_m_);
      fill_ = Fill{};
      fill_.pending = true;
    }
    asio::post(stream_.get_executor(),
               [self = this->shared_from_this(), piece] { self->fill_piece(piece); });
  }

  Fill wait_fill() {
    std::unique_lock<std::mutex> l(fill_m_);
    while (
        !fill_done_.wait_for(l, std::chrono::milliseconds(200), [this] { return !fill_.pending; }))
      if (core_.stopped) return Fill{false, true, false, false, 0};  // the I/O threads are gone
    return fill_;
  }

  void fill_piece(int piece) {
    if (expect_continue_ && !continue_sent_) {
      continue_sent_ = true;
      expire_in(limits().send_timeout_s);
      asio::async_write(stream_, asio::buffer(kContinue, sizeof kContinue - 1),
                        [self = this->shared_from_this(), piece](error_code ec, size_t) {
                          if (ec) return self->finish_fill(ec);
                          self->fill_piece(piece);
                        });
      return;
    }
    // Beast reads no more than the buffer's free capacity at once: room for large reads
    // while a body streams, given back before the connection idles.
    if (buffer_.capacity() < kBodyRead) buffer_.reserve(kBodyRead);
    parser_->set_body_buffer(pieces_[static_cast<size_t>(piece)].data(), kBodyPiece);
    parser_->eager(true);
    read_body_bytes();
  }

  void read_body_bytes() {
    expire_in(limits().body_timeout_s);
    http::async_read_some(stream_, buffer_, *parser_,
                          [self = this->shared_from_this()](error_code ec, size_t) {
                            if (ec == http::error::need_buffer) ec = {};
                            if (ec || self->parser_->is_done() || self->parser_->body_buffer_full())
                              return self->finish_fill(ec);
                            self->read_body_bytes();
                          });
  }

  void finish_fill(error_code ec) {
    std::lock_guard<std::mutex> l(fill_m_);
    fill_.pending = false;
    fill_.failed = static_cast<bool>(ec);
    fill_.timed_out = ec == beast::error::timeout;
    fill_.done = parser_->is_done();
    fill_.filled = parser_->body_filled();
    bytes_in_ += static_cast<long long>(fill_.filled);
    fill_done_.notify_all();
  }

  // An answer from the HTTP layer itself; the connection closes after it.
  void refuse(int status, const std::string& message) {
    HttpResponse res;
    core_.errors(res, status, message);
    if (status == 503) res.set_header("Retry-After", "5");
    res.close = true;
    write_response(std::move(res));
  }

  void write_response(HttpResponse res) {
    if (body_timed_out_) {
      std::string user = res.user;
      res = HttpResponse();
      core_.errors(res, 408, "request body not received in time");
      res.user = user;
    }
    bool keep = keep_alive_ && !res.close && !core_.draining && parser_ && parser_->is_done() &&
                !body_failed_ && !refusing_;
    res_ = std::move(res);
    head_ = serialize_head(res_, keep);
    bool send_body = req_.method != "HEAD";
    std::vector<asio::const_buffer> out{asio::buffer(head_)};
    if (send_body && !res_.file && !res_.body.empty()) out.push_back(asio::buffer(res_.body));
    file_sent_ = 0;
    expire_in(limits().send_timeout_s);
    asio::async_write(stream_, out,
                      [self = this->shared_from_this(), keep, send_body](error_code ec, size_t) {
                        if (ec) return self->finish_exchange(false, 0);
                        if (send_body && self->res_.file) return self->send_file_piece(keep);
                        self->finish_exchange(keep, send_body ? self->res_.body_length() : 0);
                      });
  }

  // A plain connection hands the file to the kernel, as static file servers do: no copy
  // through user space. A TLS connection encrypts here, so it reads the file piece by piece.
  void send_file_piece(bool keep) {
    if constexpr (kTls)
      copy_file_piece(keep);
    else
      send_file_by_kernel(keep);
  }

  void copy_file_piece(bool keep) {
    FileBody& f = *res_.file;
    if (file_sent_ >= f.length) return finish_exchange(keep, file_sent_);
    if (!file_buf_) file_buf_ = std::make_unique<char[]>(kFilePiece);
    long long left = f.length - file_sent_;
    size_t want =
        left < static_cast<long long>(kFilePiece) ? static_cast<size_t>(left) : kFilePiece;
    ssize_t n;
    do {
      n = pread(f.fd, file_buf_.get(), want, f.offset + file_sent_);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return finish_exchange(false, file_sent_);  // the file shrank: cut the response
    expire_in(limits().send_timeout_s);
    asio::async_write(stream_, asio::buffer(file_buf_.get(), static_cast<size_t>(n)),
                      [self = this->shared_from_this(), keep, n](error_code ec, size_t) {
                        if (ec) return self->finish_exchange(false, self->file_sent_);
                        self->file_sent_ += n;
                        self->copy_file_piece(keep);
                      });
  }

  // Sends until the socket's buffer is full, then waits for room; the wait has the send
  // timeout, kept by our own timer since the stream's timeout covers only its own operations.
  void send_file_by_kernel(bool keep) {
    FileBody& f = *res_.file;
    tcp::socket& sock = beast::get_lowest_layer(stream_).socket();
    error_code ec;
    if (!sock.native_non_blocking()) sock.native_non_blocking(true, ec);
    while (file_sent_ < f.length) {
      off_t off = static_cast<off_t>(f.offset + file_sent_);
      long long left = f.length - file_sent_;
      size_t want = left < static_cast<long long>(kSendfilePiece) ? static_cast<size_t>(left)
                                                                   : kSendfilePiece;
      ssize_t n = ::sendfile(sock.native_handle(), f.fd, &off, want);
      if (n > 0) {
        file_sent_ += n;
        // Other connections of this I/O thread get their turn between pieces.
        if (file_sent_ < f.length)
          return asio::post(stream_.get_executor(), [self = this->shared_from_this(), keep] {
            self->send_file_by_kernel(keep);
          });
        break;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return wait_writable(keep);
      return finish_exchange(false, file_sent_);  // the file shrank or the peer left
    }
    finish_exchange(keep, file_sent_);
  }

  void wait_writable(bool keep) {
    deadline_.expires_after(std::chrono::seconds(limits().send_timeout_s));
    deadline_.async_wait([self = this->shared_from_this()](error_code ec) {
      if (!ec) beast::get_lowest_layer(self->stream_).socket().cancel(ec);
    });
    beast::get_lowest_layer(stream_).socket().async_wait(
        tcp::socket::wait_write, [self = this->shared_from_this(), keep](error_code ec) {
          self->deadline_.cancel();
          if (ec) return self->finish_exchange(false, self->file_sent_);
          self->send_file_by_kernel(keep);
        });
  }

  void finish_exchange(bool keep, long long bytes) {
    ExchangeRecord r;
    r.remote_addr = addr_;
    r.user = res_.user;
    r.note = res_.log_note;
    r.method = req_.method;
    r.target = req_.target;
    r.version = req_.version;
    r.status = res_.status;
    r.bytes = bytes;
    r.bytes_in = bytes_in_;
    r.duration_us =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started_).count();
    if (core_.log) core_.log(r);
    res_ = HttpResponse();
    file_buf_.reset();
    if (!keep) return close_gracefully();
    begin_request();
  }

  // Half-closes and reads what the client still sends for a moment, so that closing with
  // unread bytes does not reset the connection before the client has read the response.
  void close_gracefully() {
    phase_ = Phase::closing;
    expire_in(2);
    if constexpr (kTls) {
      stream_.async_shutdown([self = this->shared_from_this()](error_code) { self->close(); });
    } else {
      error_code ec;
      stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
      discard_until_eof();
    }
  }

  void discard_until_eof() {
    stream_.async_read_some(asio::buffer(discard_),
                            [self = this->shared_from_this()](error_code ec, size_t) {
                              if (ec) return self->close();
                              self->discard_until_eof();
                            });
  }

  void close() {
    phase_ = Phase::closing;
    deadline_.cancel();
    error_code ec;
    beast::get_lowest_layer(stream_).socket().shutdown(tcp::socket::shutdown_both, ec);
    beast::get_lowest_layer(stream_).close();
  }

  HttpServer::Core& core_;
  Stream stream_;
  std::string addr_;
  asio::steady_timer deadline_;
  beast::flat_buffer buffer_;
  HttpRequest req_;
  std::optional<RequestParser> parser_;
  HttpResponse res_;
  std::string head_;
  Clock::time_point started_;
  Phase phase_ = Phase::handshake;
  bool registered_ = false, refusing_ = false, first_ = true;
  bool keep_alive_ = false, expect_continue_ = false, continue_sent_ = false;
  bool header_timed_out_ = false;
  bool body_failed_ = false, body_timed_out_ = false;  // written by the worker, read after it
  long long bytes_in_ = 0;  // body bytes of the current request, counted on the strand
  std::vector<char> pieces_[2];
  std::mutex fill_m_;
  std::condition_variable fill_done_;
  Fill fill_;
  std::unique_ptr<char[]> file_buf_;
  long long file_sent_ = 0;
  char discard_[512];
};

template <class Stream>
void launch(HttpServer::Core& core, tcp::socket&& socket, std::string addr) {
  auto c = std::make_shared<Connection<Stream>>(core, std::move(socket), std::move(addr));
  c->start();
}

}  // namespace

void start_connection(HttpServer::Core& core, tcp::socket socket) {
  error_code ec;
  tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return;
  socket.set_option(tcp::no_delay(true), ec);  // small answers on kept-alive connections
  asio::ip::address a = peer.address();
  if (a.is_v6() && a.to_v6().is_v4_mapped())
    a = asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
  if (core.tls)
    launch<beast::ssl_stream<beast::tcp_stream>>(core, std::move(socket), a.to_string());
  else
    launch<beast::tcp_stream>(core, std::move(socket), a.to_string());
}

}  // namespace tool
