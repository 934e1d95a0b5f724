// vessa-executor: the local executor sidecar. Serves loopback HTTP for the shell and the page:
// an open health check and credential refresh, every other route behind the per-launch UI token.
#include <httplib.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr int kDefaultPort = 3212;
constexpr const char* kListenHost = "127.0.0.1";
constexpr const char* kTokenHeader = "X-Vessa-UI-Token";
constexpr const char* kJson = "application/json";

std::mutex g_output_mutex;

// One whole line per call, flushed at once: stdout and stderr are usually log files.
void write_line(FILE* stream, std::string_view line) {
  std::scoped_lock lock(g_output_mutex);
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}
void log_out(std::string_view line) { write_line(stdout, line); }
void log_err(std::string_view line) { write_line(stderr, line); }

std::string env_or(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : fallback;
}

// Minimal JSON string literal; the values here come from our own environment.
std::string json_quoted(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// Runs over the whole expected token whatever the presented one holds, so the time taken does
// not reveal how many leading characters were right.
bool constant_time_equal(std::string_view presented, std::string_view expected) {
  size_t diff = presented.size() ^ expected.size();
  for (size_t i = 0; i < expected.size(); ++i) {
    unsigned char p = i < presented.size() ? static_cast<unsigned char>(presented[i]) : 0;
    diff |= static_cast<size_t>(p ^ static_cast<unsigned char>(expected[i]));
  }
  return diff == 0;
}

std::string presented_token(const httplib::Request& req) {
  if (req.has_header(kTokenHeader)) return req.get_header_value(kTokenHeader);
  std::string auth = req.get_header_value("Authorization");
  constexpr std::string_view kBearer = "Bearer ";
  if (auth.starts_with(kBearer)) return auth.substr(kBearer.size());
  return {};
}

bool is_open_route(const httplib::Request& req) {
  return (req.method == "GET" && req.path == "/health") ||
         (req.method == "POST" && req.path == "/refresh-cli-auth");
}

// The coding CLIs' signed-in accounts the shell keeps (one folder each).
size_t count_cli_accounts() {
  std::error_code ec;
  std::filesystem::path dir = env_or("HOME", "");
  dir /= ".vessa/cli-accounts";
  size_t n = 0;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_directory(ec)) ++n;
  }
  return n;
}

std::optional<int> port_from_env() {
  std::string text = env_or("VESSA_EXECUTOR_PORT", "");
  if (text.empty()) return kDefaultPort;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || v < 1 || v > 65535) return std::nullopt;
  return static_cast<int>(v);
}

}  // namespace

int main() {
  auto port = port_from_env();
  if (!port) {
    log_err("vessa-executor: VESSA_EXECUTOR_PORT is not a port number");
    return 2;
  }
  // SIGTERM and SIGINT are taken by one waiting thread; every server thread inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  const std::string token = env_or("VESSA_UI_TOKEN", "");
  const auto started = std::chrono::steady_clock::now();
  std::atomic<unsigned> reloads{0};
  std::atomic<size_t> accounts{count_cli_accounts()};

  httplib::Server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(4); };
  // Short keep-alive so a stop is never held up by an idle connection.
  server.set_keep_alive_timeout(1);
  server.set_payload_max_length(size_t{64} * 1024);
  // The library's default adds SO_REUSEPORT, which would let a second executor share the port
  // and split the requests between the two. Only a quick rebind after a restart is wanted.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });

  server.set_pre_routing_handler([&token](const httplib::Request& req, httplib::Response& res) {
    if (is_open_route(req)) return httplib::Server::HandlerResponse::Unhandled;
    // Without a token of our own nobody can be recognised, so guarded routes stay closed.
    if (!token.empty() && constant_time_equal(presented_token(req), token)) {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    res.status = 401;
    res.set_content(R"({"error":"unauthorized"})", kJson);
    return httplib::Server::HandlerResponse::Handled;
  });

  server.Get("/health", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"status":"ok","pid":)" + std::to_string(::getpid()) + "}", kJson);
  });

  server.Post("/refresh-cli-auth", [&](const httplib::Request&, httplib::Response& res) {
    size_t n = count_cli_accounts();
    accounts = n;
    unsigned count = ++reloads;
    log_out("CLI credentials reloaded (" + std::to_string(n) + " accounts)");
    res.set_content(R"({"reloaded":true,"accounts":)" + std::to_string(n) + R"(,"reloads":)" +
                        std::to_string(count) + "}",
                    kJson);
  });

  server.Get("/status", [&](const httplib::Request&, httplib::Response& res) {
    auto uptime = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - started)
                      .count();
    std::string body = "{";
    body += "\"clientId\":" + json_quoted(env_or("EXECUTOR_CLIENT_ID", ""));
    body += ",\"deviceName\":" + json_quoted(env_or("EXECUTOR_DEVICE_NAME", ""));
    body += ",\"executionMode\":" + json_quoted(env_or("EXECUTION_MODE", "cli"));
    body += ",\"convexUrl\":" + json_quoted(env_or("CONVEX_URL", ""));
    body += ",\"pollInterval\":" + json_quoted(env_or("POLL_INTERVAL", ""));
    body += ",\"maxTurns\":" + json_quoted(env_or("MAX_TURNS", ""));
    body += ",\"agentTimeout\":" + json_quoted(env_or("AGENT_TIMEOUT", ""));
    body += ",\"cliAccounts\":" + std::to_string(accounts.load());
    body += ",\"credentialReloads\":" + std::to_string(reloads.load());
    body += ",\"uptimeMs\":" + std::to_string(uptime);
    body += "}";
    res.set_content(body, kJson);
  });

  // Paths only: a query string could carry something a caller did not mean to have logged.
  server.set_logger([](const httplib::Request& req, const httplib::Response& res) {
    log_out(req.method + " " + req.path + " " + std::to_string(res.status));
  });
  server.set_exception_handler(
      [](const httplib::Request& req, httplib::Response& res, const std::exception_ptr& ep) {
        std::string what = "unknown error";
        try {
          if (ep) std::rethrow_exception(ep);
        } catch (const std::exception& e) {
          what = e.what();
        } catch (...) {  // NOLINT(bugprone-empty-catch): reported as "unknown error"
        }
        log_err("error handling " + req.method + " " + req.path + ": " + what);
        res.status = 500;
        res.set_content(R"({"error":"internal error"})", kJson);
      });

  if (!server.bind_to_port(kListenHost, *port)) {
    log_err("vessa-executor: cannot listen on " + std::string(kListenHost) + ":" +
            std::to_string(*port) + ": " + std::strerror(errno));
    return 1;
  }

  std::atomic<bool> stopping{false};
  std::thread stopper([&server, &stop_signals, &stopping] {
    int sig = 0;
    if (sigwait(&stop_signals, &sig) != 0) return;
    if (stopping.exchange(true)) return;
    log_out(std::string("received ") + (sig == SIGINT ? "SIGINT" : "SIGTERM") + ", stopping");
    server.stop();
  });

  log_out("vessa-executor listening on " + std::string(kListenHost) + ":" + std::to_string(*port) +
          (token.empty() ? " (no UI token: guarded routes closed)" : ""));
  bool ok = server.listen_after_bind();
  if (!ok) log_err("vessa-executor: the server stopped with an error");
  // The server can also end without a signal (an accept error): wake the waiting thread.
  // NOLINTNEXTLINE(bugprone-bad-signal-to-kill-thread): blocked in all threads; wakes sigwait
  if (!stopping.exchange(true)) pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  log_out("vessa-executor stopped");
  return ok ? 0 : 1;
}
