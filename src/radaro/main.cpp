// radaro: the Taskwright runtime program. Answers its sub-commands from the data folder in
// RADARO_HOME (sessions/, skills/, cron/jobs.json, memories/, config.yaml, .env).
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr const char* kVersion = "0.1.0";

constexpr const char* kUsage = R"(usage: radaro <command> [sub-verb] [options]

Commands:
  sessions list [--json]     sessions recorded in $RADARO_HOME/sessions
  sessions export <id>       one session as JSON
  sessions stats             number of sessions and messages
  skills list [--json]       skills in $RADARO_HOME/skills
  skills inspect <name>      a skill's SKILL.md
  skills search <text>       skills whose name or SKILL.md mention <text>
  skills check               every skill has a SKILL.md
  skills audit               size and line count of every SKILL.md
  cron list [--json]         jobs in $RADARO_HOME/cron/jobs.json
  cron status                job counts
  cron tick                  run due jobs (this build has no job runner)
  config show                $RADARO_HOME/config.yaml
  config path                path of the config file
  config env-path            path of the environment file
  config check               whether the config file is readable key: value text
  gateway status             whether a gateway is running
  memory status              sizes of the memory files
  update                     how to update radaro
  --version                  print the version
  --help                     print this help
)";

struct Context {
  fs::path home;
  std::vector<std::string> args;  // after the command and sub-verb
  bool json_out = false;
};

int fail(const std::string& message, int code = 1) {
  std::cerr << "radaro: " << message << "\n";
  return code;
}

fs::path radaro_home() {
  if (const char* v = std::getenv("RADARO_HOME"); v != nullptr && *v != '\0') return v;
  const char* home = std::getenv("HOME");
  return fs::path(home != nullptr ? home : "/") / ".vessa-taskwright" / "home";
}

std::optional<std::string> read_text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::optional<json> read_json(const fs::path& p) {
  auto text = read_text(p);
  if (!text) return std::nullopt;
  json j = json::parse(*text, nullptr, false);
  if (j.is_discarded()) return std::nullopt;
  return j;
}

std::string lower(std::string s) {
  std::ranges::transform(s, s.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string str_field(const json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : "";
}

// Sorted entries of `dir` that `keep` accepts; empty when the folder is missing.
std::vector<fs::path> entries(const fs::path& dir, bool (*keep)(const fs::directory_entry&)) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (keep(*it)) out.push_back(it->path());
  }
  std::ranges::sort(out);
  return out;
}

// ---- sessions ----

struct Session {
  std::string id;
  std::string title;
  std::string created_at;
  size_t messages = 0;
  bool readable = false;
};

std::vector<Session> load_sessions(const fs::path& home) {
  std::vector<Session> out;
  auto files = entries(home / "sessions", [](const fs::directory_entry& e) {
    return e.path().extension() == ".json" && e.is_regular_file();
  });
  for (const auto& f : files) {
    Session s;
    s.id = f.stem().string();
    if (auto j = read_json(f); j && j->is_object()) {
      s.readable = true;
      if (auto id = str_field(*j, "id"); !id.empty()) s.id = id;
      s.title = str_field(*j, "title");
      s.created_at = str_field(*j, "created_at");
      if (auto m = j->find("messages"); m != j->end() && m->is_array()) s.messages = m->size();
    }
    out.push_back(std::move(s));
  }
  return out;
}

int sessions(const std::string& verb, const Context& c) {
  const fs::path dir = c.home / "sessions";
  auto all = load_sessions(c.home);
  if (verb == "list") {
    if (c.json_out) {
      json arr = json::array();
      for (const auto& s : all) {
        arr.push_back({{"id", s.id},
                       {"title", s.title},
                       {"created_at", s.created_at},
                       {"messages", s.messages},
                       {"readable", s.readable}});
      }
      std::cout << arr.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
      return 0;
    }
    if (all.empty()) {
      std::cout << "No sessions recorded in " << dir.string() << "\n";
      return 0;
    }
    for (const auto& s : all) {
      std::cout << s.id << "\t" << (s.created_at.empty() ? "-" : s.created_at) << "\t"
                << (s.readable ? s.title : "(unreadable)") << "\n";
    }
    return 0;
  }
  if (verb == "export") {
    if (c.args.empty()) return fail("sessions export: missing session id");
    const std::string& id = c.args.front();
    auto files = entries(dir, [](const fs::directory_entry& e) {
      return e.path().extension() == ".json" && e.is_regular_file();
    });
    for (const auto& f : files) {
      auto j = read_json(f);
      if (f.stem() == id || (j && j->is_object() && str_field(*j, "id") == id)) {
        if (!j) return fail("sessions export: session " + id + " is not valid JSON");
        std::cout << j->dump(2, ' ', false, json::error_handler_t::replace) << "\n";
        return 0;
      }
    }
    return fail("sessions export: no session " + id + " in " + dir.string());
  }
  // stats
  size_t messages = 0;
  size_t unreadable = 0;
  for (const auto& s : all) {
    messages += s.messages;
    if (!s.readable) ++unreadable;
  }
  std::cout << "sessions: " << all.size() << "\nmessages: " << messages
            << "\nunreadable: " << unreadable << "\n";
  return 0;
}

// ---- skills ----

int skills(const std::string& verb, const Context& c) {
  const fs::path dir = c.home / "skills";
  auto all = entries(dir, [](const fs::directory_entry& e) { return e.is_directory(); });
  auto skill_md = [](const fs::path& skill) { return read_text(skill / "SKILL.md"); };
  if (verb == "list") {
    if (c.json_out) {
      json arr = json::array();
      for (const auto& s : all) arr.push_back(s.filename().string());
      std::cout << arr.dump() << "\n";
    } else if (all.empty()) {
      std::cout << "No skills in " << dir.string() << "\n";
    } else {
      for (const auto& s : all) std::cout << s.filename().string() << "\n";
    }
    return 0;
  }
  if (verb == "inspect") {
    if (c.args.empty()) return fail("skills inspect: missing skill name");
    const std::string& name = c.args.front();
    for (const auto& s : all) {
      if (s.filename() != name) continue;
      auto text = skill_md(s);
      if (!text) return fail("skills inspect: " + name + " has no readable SKILL.md");
      std::cout << *text;
      if (!text->empty() && text->back() != '\n') std::cout << "\n";
      return 0;
    }
    return fail("skills inspect: no skill " + name + " in " + dir.string());
  }
  if (verb == "search") {
    if (c.args.empty()) return fail("skills search: missing search text");
    const std::string needle = lower(c.args.front());
    size_t hits = 0;
    for (const auto& s : all) {
      const std::string name = s.filename().string();
      auto text = skill_md(s);
      if (lower(name).find(needle) != std::string::npos ||
          (text && lower(*text).find(needle) != std::string::npos)) {
        std::cout << name << "\n";
        ++hits;
      }
    }
    if (hits == 0) std::cout << "No skills match " << c.args.front() << "\n";
    return 0;
  }
  size_t problems = 0;
  for (const auto& s : all) {
    const std::string name = s.filename().string();
    auto text = skill_md(s);
    if (!text) {
      ++problems;
      std::cout << name << ": missing SKILL.md\n";
      continue;
    }
    if (verb == "check") {
      std::cout << name << ": ok\n";
    } else {  // audit
      auto lines = static_cast<size_t>(std::count(text->begin(), text->end(), '\n'));
      std::cout << name << ": " << text->size() << " bytes, " << lines << " lines\n";
    }
  }
  std::cout << all.size() << " skill(s), " << problems << " problem(s)\n";
  return problems == 0 ? 0 : 1;
}

// ---- cron ----

int cron(const std::string& verb, const Context& c) {
  const fs::path file = c.home / "cron" / "jobs.json";
  json jobs = json::array();
  bool exists = fs::exists(file);
  if (exists) {
    auto j = read_json(file);
    if (!j || !j->is_array()) return fail("cron: " + file.string() + " is not a JSON array");
    jobs = *j;
  }
  auto enabled = [](const json& job) {
    auto it = job.find("enabled");
    return it == job.end() || !it->is_boolean() || it->get<bool>();
  };
  if (verb == "list") {
    if (c.json_out) {
      std::cout << jobs.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    } else if (jobs.empty()) {
      std::cout << "No cron jobs in " << file.string() << "\n";
    } else {
      for (const auto& job : jobs) {
        if (!job.is_object()) continue;
        std::cout << str_field(job, "name") << "\t" << str_field(job, "schedule") << "\t"
                  << (enabled(job) ? "enabled" : "disabled") << "\n";
      }
    }
    return 0;
  }
  size_t on = 0;
  for (const auto& job : jobs) {
    if (job.is_object() && enabled(job)) ++on;
  }
  if (verb == "status") {
    std::cout << "jobs: " << jobs.size() << "\nenabled: " << on << "\nscheduler: not running\n";
    return 0;
  }
  // tick: nothing is executed, and it says so.
  std::cout << "cron tick: " << on << " enabled job(s); this radaro has no job runner, 0 run\n";
  return 0;
}

// ---- config, gateway, memory, update ----

int config(const std::string& verb, const Context& c) {
  const fs::path file = c.home / "config.yaml";
  if (verb == "path") {
    std::cout << file.string() << "\n";
    return 0;
  }
  if (verb == "env-path") {
    std::cout << (c.home / ".env").string() << "\n";
    return 0;
  }
  auto text = read_text(file);
  if (verb == "show") {
    if (!text) {
      std::cout << "No config at " << file.string() << "\n";
      return 0;
    }
    std::cout << *text;
    if (!text->empty() && text->back() != '\n') std::cout << "\n";
    return 0;
  }
  // check: every non-blank, non-comment line must look like "key: value".
  if (!text) {
    std::cout << "No config at " << file.string() << " (defaults apply)\n";
    return 0;
  }
  std::istringstream in(*text);
  std::string line;
  int number = 0;
  int bad = 0;
  while (std::getline(in, line)) {
    ++number;
    auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#' || line[first] == '-') continue;
    if (line.find(':') == std::string::npos) {
      ++bad;
      std::cout << file.string() << ":" << number << ": expected \"key: value\"\n";
    }
  }
  if (bad > 0) return 1;
  std::cout << file.string() << ": ok\n";
  return 0;
}

int memory_status(const Context& c) {
  for (const char* name : {"MEMORY.md", "USER.md"}) {
    const fs::path p = c.home / "memories" / name;
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) {
      std::cout << name << ": " << st.st_size << " bytes\n";
    } else {
      std::cout << name << ": missing\n";
    }
  }
  return 0;
}

struct Command {
  const char* name;
  std::vector<std::string> verbs;  // the first is the default
};

const std::vector<Command>& commands() {
  static const std::vector<Command> table = {
      {"sessions", {"list", "export", "stats"}},
      {"skills", {"list", "inspect", "search", "check", "audit"}},
      {"cron", {"list", "status", "tick"}},
      {"config", {"show", "path", "env-path", "check"}},
      {"gateway", {"status"}},
      {"memory", {"status"}},
      {"update", {}},
  };
  return table;
}

int run(const std::vector<std::string>& args) {
  if (args.empty()) {
    std::cerr << kUsage;
    return 2;
  }
  const std::string& cmd = args[0];
  if (cmd == "--version" || cmd == "-V") {
    std::cout << "radaro " << kVersion << "\n";
    return 0;
  }
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    std::cout << kUsage;
    return 0;
  }
  auto it = std::find_if(commands().begin(), commands().end(),
                         [&](const Command& c) { return cmd == c.name; });
  if (it == commands().end()) return fail("unknown command '" + cmd + "' (see radaro --help)", 2);

  Context ctx;
  ctx.home = radaro_home();
  std::string verb = it->verbs.empty() ? "" : it->verbs.front();
  size_t at = 1;
  if (!it->verbs.empty() && at < args.size() && !args[at].starts_with('-')) {
    verb = args[at++];
    if (std::find(it->verbs.begin(), it->verbs.end(), verb) == it->verbs.end()) {
      return fail("unknown sub-verb '" + cmd + " " + verb + "' (see radaro --help)", 2);
    }
  }
  for (; at < args.size(); ++at) {
    const std::string& a = args[at];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (a == "--json") {
      ctx.json_out = true;
    } else if (a.starts_with('-')) {
      std::string message = "unknown option '" + a + "' for ";
      message += cmd;
      return fail(message, 2);
    } else {
      ctx.args.push_back(a);
    }
  }

  if (cmd == "sessions") return sessions(verb, ctx);
  if (cmd == "skills") return skills(verb, ctx);
  if (cmd == "cron") return cron(verb, ctx);
  if (cmd == "config") return config(verb, ctx);
  if (cmd == "memory") return memory_status(ctx);
  if (cmd == "gateway") {
    std::cout << "gateway: not running (this radaro has no gateway)\n";
    return 0;
  }
  // update
  std::cout << "radaro " << kVersion
            << " is installed by Vessa; reinstall Taskwright from the app to update it.\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    // A data file that vanished mid-read or text JSON cannot encode: reported, not a crash.
    return fail(e.what());
  }
}
