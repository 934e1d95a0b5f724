// One-shot runs of the runtime program and the runtime's storage facts.
#include "commands/taskwright/taskwright_exec.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>

#include "commands/taskwright/taskwright_paths.hpp"
#include "support/login_path.hpp"
#include "support/subprocess.hpp"
#include "support/utf8.hpp"

namespace vessa::commands::taskwright {
namespace {

using Clock = std::chrono::steady_clock;

constexpr long long kDefaultTimeoutMs = 30000;
constexpr long long kMaxTimeoutMs = 300000;

const std::map<std::string, std::vector<std::string>>& subverb_table() {
  static const std::map<std::string, std::vector<std::string>> table = {
      {"sessions", {"list", "export", "stats"}},
      {"skills", {"list", "inspect", "search", "check", "audit"}},
      {"cron", {"list", "status", "tick"}},
      {"config", {"show", "path", "env-path", "check"}},
      {"gateway", {"status"}},
      {"memory", {"status"}},
  };
  return table;
}

const std::vector<std::string>& subcommands() {
  static const std::vector<std::string> names = {
      "sessions", "skills", "cron", "config", "gateway", "memory", "update", "--version", "--help"};
  return names;
}

bool has_nul(const std::string& text) { return text.find('\0') != std::string::npos; }

// An environment entry "K=V" is only sound when K is non-empty and free of "=" and NUL, and V
// free of NUL; anything else would corrupt the child's environment.
bool sound_env_entry(const std::string& key, const std::string& value) {
  return !key.empty() && key.find('=') == std::string::npos && !has_nul(key) && !has_nul(value);
}

// Variables that make the loader, a shell or an interpreter run code the page chose.
bool injects_code(const std::string& key) {
  static const std::vector<std::string> kNames = {"NODE_OPTIONS",
                                                  "NODE_PATH",
                                                  "PYTHONSTARTUP",
                                                  "PYTHONPATH",
                                                  "PYTHONHOME",
                                                  "PYTHONINSPECT",
                                                  "BASH_ENV",
                                                  "ENV",
                                                  "SHELLOPTS",
                                                  "BASHOPTS",
                                                  "PS4",
                                                  "PERL5OPT",
                                                  "PERL5LIB",
                                                  "PERLLIB",
                                                  "PERL5DB",
                                                  "RUBYOPT",
                                                  "RUBYLIB",
                                                  "GCONV_PATH",
                                                  "LOCPATH",
                                                  "GLIBC_TUNABLES",
                                                  "IFS",
                                                  "JAVA_TOOL_OPTIONS",
                                                  "JDK_JAVA_OPTIONS",
                                                  "_JAVA_OPTIONS"};
  if (key.starts_with("LD_") || key.starts_with("DYLD_")) return true;
  return std::ranges::find(kNames, key) != kNames.end();
}

}  // namespace

long long exec_timeout_ms(const json& opts) {
  auto n = number_arg(opts, "timeout_ms");
  if (!n) n = number_arg(opts, "timeoutMs");
  if (!n) return kDefaultTimeoutMs;
  // Clamp before converting: a huge double does not fit an integer.
  double clamped = std::clamp(*n, 0.0, static_cast<double>(kMaxTimeoutMs));
  return static_cast<long long>(clamped);
}

tl::expected<std::map<std::string, std::string>, std::string> exec_env_overrides(const json& opts) {
  std::map<std::string, std::string> overrides;
  if (!opts.is_object()) return overrides;
  auto it = opts.find("env_overrides");
  if (it == opts.end()) it = opts.find("envOverrides");
  if (it == opts.end() || !it->is_object()) return overrides;
  for (const auto& [key, value] : it->items()) {
    if (!value.is_string()) continue;
    const auto& text = value.get_ref<const std::string&>();
    if (!sound_env_entry(key, text) || injects_code(key)) {
      return tl::unexpected("taskwright_exec: env override '" + utf8_lossy(key) +
                            "' is not allowed");
    }
    overrides[key] = text;
  }
  return overrides;
}

namespace {

json size_bytes(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return nullptr;
  return static_cast<long long>(st.st_size);
}

json path_if_exists(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) return path;
  return nullptr;
}

std::string join(const std::vector<std::string>& items, const std::string& sep) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += sep;
    out += items[i];
  }
  return out;
}

}  // namespace

const std::vector<std::string>* allowedSubverbs(const std::string& subcommand) {
  const auto& table = subverb_table();
  auto it = table.find(subcommand);
  return it != table.end() ? &it->second : nullptr;
}

std::string debugSet(std::vector<std::string> items) {
  std::ranges::sort(items);
  std::string out = "{";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    out += "\"" + items[i] + "\"";
  }
  return out + "}";
}

std::string radaroBinaryPath() { return taskwright::binary(); }

CommandResult taskwrightExec(const json& args) {
  std::vector<std::string> argv;
  if (auto it = args.find("args"); it != args.end() && it->is_array()) {
    for (const auto& element : *it) {
      if (element.is_string()) argv.push_back(element.get<std::string>());
    }
  }
  if (argv.empty()) return CommandResult::failure("taskwright_exec: args must not be empty");
  // A NUL would cut an argument short: radaro would run another command than the one checked.
  if (std::ranges::any_of(argv, has_nul)) {
    return CommandResult::failure("taskwright_exec: args must not contain NUL characters");
  }

  const std::string& sub = argv[0];
  const auto& names = subcommands();
  if (std::ranges::find(names, sub) == names.end()) {
    return CommandResult::failure("taskwright_exec: subcommand '" + sub +
                                  "' is not allowlisted. Allowed: " + debugSet(names));
  }
  if (const auto* verbs = allowedSubverbs(sub); verbs != nullptr && argv.size() >= 2) {
    const std::string& verb = argv[1];
    const bool flag = !verb.empty() && verb[0] == '-';
    if (!flag && std::ranges::find(*verbs, verb) == verbs->end()) {
      return CommandResult::failure("taskwright_exec: '" + sub + " " + verb +
                                    "' is not allowlisted. Allowed sub-verbs: " + debugSet(*verbs));
    }
  }

  // Argument checks, like the allow-list, come before anything touches the disk.
  json opts = json::object();
  if (auto it = args.find("opts"); it != args.end() && it->is_object()) opts = *it;
  const long long timeout_ms = exec_timeout_ms(opts);
  auto overrides = exec_env_overrides(opts);
  if (!overrides) return CommandResult::failure(overrides.error());

  const std::string program = radaroBinaryPath();
  std::error_code ec;
  if (!std::filesystem::exists(program, ec)) {
    return CommandResult::failure("Radaro binary not found at " + program +
                                  ". Install Taskwright first.");
  }

  proc::Options options;
  options.argv.reserve(argv.size() + 1);
  options.argv.push_back(program);
  options.argv.insert(options.argv.end(), argv.begin(), argv.end());
  options.env = proc::current_environment();
  (*options.env)["PATH"] = launch::enrichedPath();
  (*options.env)["RADARO_HOME"] = taskwright::data_dir();
  for (const auto& [key, value] : *overrides) (*options.env)[key] = value;
  options.in = proc::Stdio::null();
  options.out = proc::Stdio::pipe();
  options.err = proc::Stdio::pipe();

  proc::RunOptions run_options;
  run_options.timeout = std::chrono::milliseconds(timeout_ms);
  run_options.kill_grace = std::chrono::milliseconds(0);
  // Both pipes are read to their end; bytes past the cap are read and dropped.
  run_options.max_capture = kRadaroOutputCap;

  const auto started = Clock::now();
  auto ran = proc::run(options, run_options);
  const long long duration_ms =
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - started).count() /
      1000000;
  if (!ran) return CommandResult::failure("Failed to spawn radaro: " + ran.error());

  if (ran->timed_out) {
    return CommandResult::success(json{
        {"stdout", ""},
        {"stderr",
         "radaro " + join(argv, " ") + " timed out after " + std::to_string(timeout_ms) + "ms"},
        {"exit_code", nullptr},
        {"duration_ms", duration_ms},
        {"truncated", false}});
  }
  const bool truncated = ran->out_truncated || ran->err_truncated ||
                         ran->out.size() >= kRadaroOutputCap || ran->err.size() >= kRadaroOutputCap;
  return CommandResult::success(
      json{{"stdout", utf8_lossy(ran->out)},
           {"stderr", utf8_lossy(ran->err)},
           {"exit_code", ran->status.exited ? json(ran->status.code) : json(nullptr)},
           {"duration_ms", duration_ms},
           {"truncated", truncated}});
}

json taskwright_storage_info() {
  const std::string data = taskwright::data_dir();
  std::error_code ec;
  return json{{"install_path", taskwright::home()},
              {"home_path", data},
              {"home_exists", std::filesystem::exists(data, ec)},
              {"sessions_db_bytes", size_bytes(data + "/state.db")},
              {"memory_md_bytes", size_bytes(data + "/memories/MEMORY.md")},
              {"user_md_bytes", size_bytes(data + "/memories/USER.md")},
              {"soul_md_path", path_if_exists(data + "/SOUL.md")},
              {"config_yaml_path", path_if_exists(data + "/config.yaml")}};
}

}  // namespace vessa::commands::taskwright
