// The vessa-executor program itself, on a free loopback port: routes, token check, stop.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "executor/port_owners.hpp"
#include "executor_test_support.hpp"
#include "fixtures/temp_home.hpp"
#include "support/http.hpp"
#include "support/subprocess.hpp"

namespace vessa::executor {
namespace {

using testing::free_loopback_port;
using testing::read_file;
using testing::wait_until;

class RunningSidecar {
 public:
  RunningSidecar(const std::string& dir, std::optional<std::string> token, uint16_t port)
      : port_(port), out_(dir + "/sidecar.out"), err_(dir + "/sidecar.err") {
    std::filesystem::create_directories(dir);
    proc::Options o;
    o.argv = {testing::sidecar_program()};
    o.env = proc::current_environment();
    (*o.env)["VESSA_EXECUTOR_PORT"] = std::to_string(port);
    if (token) {
      (*o.env)["VESSA_UI_TOKEN"] = *token;
    } else {
      o.env->erase("VESSA_UI_TOKEN");
    }
    o.out = proc::Stdio::append(out_);
    o.err = proc::Stdio::append(err_);
    auto started = proc::Process::start(o);
    if (started) process_ = *started;
  }
  ~RunningSidecar() {
    if (process_) process_->terminate(std::chrono::milliseconds(2000));
  }
  RunningSidecar(const RunningSidecar&) = delete;
  RunningSidecar& operator=(const RunningSidecar&) = delete;

  bool wait_healthy() {
    return process_ && wait_until([&] {
             auto r = http::get(url("/health"), std::chrono::milliseconds(500));
             return r && r->status == 200;
           });
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  http::Response request(const std::string& method, const std::string& path,
                         std::vector<std::pair<std::string, std::string>> headers = {}) {
    http::Request r;
    r.method = method;
    r.url = url(path);
    r.headers = std::move(headers);
    r.timeout = std::chrono::milliseconds(3000);
    auto response = http::perform(r);
    return response ? *response : http::Response{-1, response.error()};
  }
  proc::Process& process() { return *process_; }
  std::string out() const { return read_file(out_); }
  std::string err() const { return read_file(err_); }

 private:
  uint16_t port_;
  std::string out_;
  std::string err_;
  std::shared_ptr<proc::Process> process_;
};

const std::string kToken = "Zq3v_ab-0123456789abcdefghijklmnopqrstuvwxy";

TEST(Sidecar, OpenRoutesAnswerEveryoneAndTheRestNeedsTheToken) {
  testing::TempHome home;
  RunningSidecar sidecar(home.path(), kToken, free_loopback_port());
  ASSERT_TRUE(sidecar.wait_healthy()) << sidecar.err();

  auto health = sidecar.request("GET", "/health");
  EXPECT_EQ(health.status, 200);
  auto body = parse_json(health.body);
  ASSERT_TRUE(body && body->is_object()) << health.body;
  EXPECT_EQ((*body)["status"], "ok");

  struct Case {
    const char* method;
    const char* path;
    std::vector<std::pair<std::string, std::string>> headers;
    long status;
  };
  const std::string wrong_same_length = std::string(kToken).replace(42, 1, "z");
  const std::vector<Case> cases = {
      {"POST", "/refresh-cli-auth", {}, 200},
      {"GET", "/status", {}, 401},
      {"GET", "/status", {{"X-Vessa-UI-Token", wrong_same_length}}, 401},
      {"GET", "/status", {{"X-Vessa-UI-Token", kToken.substr(0, 42)}}, 401},
      {"GET", "/status", {{"X-Vessa-UI-Token", kToken + "y"}}, 401},
      {"GET", "/status", {{"X-Vessa-UI-Token", ""}}, 401},
      {"GET", "/status", {{"Authorization", "Bearer " + wrong_same_length}}, 401},
      {"GET", "/status", {{"X-Vessa-UI-Token", kToken}}, 200},
      {"GET", "/status", {{"Authorization", "Bearer " + kToken}}, 200},
      // The open routes are open only with their own method.
      {"GET", "/refresh-cli-auth", {}, 401},
      {"POST", "/health", {}, 401},
      {"GET", "/no-such-route", {}, 401},
      {"GET", "/no-such-route", {{"X-Vessa-UI-Token", kToken}}, 404},
  };
  for (const auto& c : cases) {
    auto r = sidecar.request(c.method, c.path, c.headers);
    EXPECT_EQ(r.status, c.status) << c.method << " " << c.path << " "
                                  << (c.headers.empty() ? "" : c.headers[0].second) << ": "
                                  << r.body;
  }

  auto status = sidecar.request("GET", "/status", {{"X-Vessa-UI-Token", kToken}});
  auto info = parse_json(status.body);
  ASSERT_TRUE(info && info->is_object()) << status.body;
  EXPECT_EQ((*info)["credentialReloads"], 1);
  // The token and the executor secret are never handed back.
  EXPECT_EQ(status.body.find(kToken), std::string::npos);
  EXPECT_FALSE(info->contains("executorSecret"));

  // One stdout line per request; the token never reaches the log.
  std::string out = sidecar.out();
  EXPECT_NE(out.find("GET /health 200\n"), std::string::npos) << out;
  EXPECT_NE(out.find("GET /status 401\n"), std::string::npos) << out;
  EXPECT_NE(out.find("CLI credentials reloaded (0 accounts)\n"), std::string::npos) << out;
  EXPECT_EQ(out.find(kToken), std::string::npos);
}

TEST(Sidecar, WithoutATokenGuardedRoutesStayClosed) {
  testing::TempHome home;
  RunningSidecar sidecar(home.path(), std::nullopt, free_loopback_port());
  ASSERT_TRUE(sidecar.wait_healthy()) << sidecar.err();
  EXPECT_EQ(sidecar.request("GET", "/status").status, 401);
  // An empty presented token must not match the missing one.
  EXPECT_EQ(sidecar.request("GET", "/status", {{"X-Vessa-UI-Token", ""}}).status, 401);
  EXPECT_EQ(sidecar.request("GET", "/status", {{"Authorization", "Bearer "}}).status, 401);
  EXPECT_EQ(sidecar.request("POST", "/refresh-cli-auth").status, 200);
}

TEST(Sidecar, ListensOnLoopbackOnlyAndStopsCleanlyOnSigterm) {
  testing::TempHome home;
  uint16_t port = free_loopback_port();
  RunningSidecar sidecar(home.path(), kToken, port);
  ASSERT_TRUE(sidecar.wait_healthy()) << sidecar.err();

  // Bound to 127.0.0.1 (0100007F in the kernel's table), never to every address.
  char local[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  std::string table = read_file("/proc/net/tcp");
  EXPECT_NE(table.find(local), std::string::npos);
  EXPECT_EQ(executor::detail::listening_inodes(table, port).size(), 1u);
  EXPECT_TRUE(executor::detail::listening_inodes(read_file("/proc/net/tcp6"), port).empty());
  EXPECT_EQ(executor::detail::listening_pids(port), std::vector<pid_t>{sidecar.process().pid()});

  // An idle open connection must not hold the stop up.
  int idle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(idle, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  sidecar.process().send_signal(SIGTERM);
  auto end = sidecar.process().wait_for(std::chrono::milliseconds(1500));
  ASSERT_TRUE(end.has_value()) << "still running 1.5 s after SIGTERM";
  EXPECT_TRUE(end->success()) << end->describe();
  ::close(idle);
  EXPECT_TRUE(executor::detail::listening_pids(port).empty());
  std::string out = sidecar.out();
  EXPECT_NE(out.find("received SIGTERM, stopping\n"), std::string::npos) << out;
  EXPECT_NE(out.find("vessa-executor stopped\n"), std::string::npos) << out;
}

TEST(Sidecar, ReportsAnOccupiedPortOnStandardErrorAndExits) {
  testing::TempHome home;
  uint16_t port = free_loopback_port();
  // The occupant is another executor: two of them must never share the port.
  RunningSidecar first(home.path() + "/first", kToken, port);
  ASSERT_TRUE(first.wait_healthy()) << first.err();
  RunningSidecar sidecar(home.path(), kToken, port);
  auto end = sidecar.process().wait_for(std::chrono::milliseconds(5000));
  ASSERT_TRUE(end.has_value());
  EXPECT_EQ(end->describe(), "Some(1)");
  EXPECT_NE(sidecar.err().find("cannot listen on 127.0.0.1:" + std::to_string(port)),
            std::string::npos)
      << sidecar.err();
}

}  // namespace
}  // namespace vessa::executor
