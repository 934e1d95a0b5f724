// The path plug-in: base folders by the XDG rules and lexical path helpers, POSIX style.
#include <unistd.h>

#include <filesystem>
#include <string_view>

#include "commands/app_dirs.hpp"
#include "commands/command_registry.hpp"
#include "commands/families.hpp"

namespace vessa::commands {
namespace {

namespace stdfs = std::filesystem;

constexpr std::string_view kPathPrefix = "plugin:path|";

// "a/./b/../c/" becomes "a/c" (no symlinks are read); an empty result is ".".
std::string normalized(const std::string& path) {
  std::string out = stdfs::path(path).lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out.empty() ? "." : out;
}

std::optional<std::vector<std::string>> string_list(const json& args, const char* key) {
  auto it = args.find(key);
  if (it == args.end() || !it->is_array()) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& item : *it) {
    if (!item.is_string()) return std::nullopt;
    out.push_back(item.get<std::string>());
  }
  return out;
}

// The last component, trailing separators ignored.
std::string last_component(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  return stdfs::path(trimmed).filename().string();
}

CommandResult resolve_directory(const json& args) {
  auto code = number_arg(args, "directory");
  auto base = code ? app_dirs::base_dir(static_cast<int>(*code)) : std::nullopt;
  if (!base) return CommandResult::failure("unknown path");
  auto sub = string_arg(args, "path");
  if (!sub || sub->empty()) return CommandResult::success(base->string());
  stdfs::path rel(*sub);
  // The result must stay inside the base folder.
  if (rel.is_absolute()) return CommandResult::failure("path must be relative: " + *sub);
  for (const auto& part : rel) {
    if (part == "..") {
      return CommandResult::failure(
          "cannot traverse directory, rewrite the path without the use of `../`");
    }
  }
  return CommandResult::success(normalized((*base / rel).string()));
}

CommandResult path_command(const std::string& op, const json& args) {
  if (op == "resolve_directory") return resolve_directory(args);
  if (op == "resolve" || op == "join") {
    auto parts = string_list(args, "paths");
    if (!parts) return CommandResult::failure("path " + op + ": paths must be strings");
    std::string joined;
    if (op == "resolve") {
      // Like a shell's cd through each part: an absolute part starts over.
      std::error_code ec;
      stdfs::path p = stdfs::current_path(ec);
      for (const auto& part : *parts) p /= part;
      joined = p.string();
    } else {
      for (const auto& part : *parts) {
        if (part.empty()) continue;
        if (!joined.empty()) joined += '/';
        joined += part;
      }
    }
    return CommandResult::success(normalized(joined));
  }
  auto path = string_arg(args, "path");
  if (!path) return CommandResult::failure("path " + op + ": missing path");
  if (op == "normalize") return CommandResult::success(normalized(*path));
  if (op == "is_absolute") return CommandResult::success(!path->empty() && (*path)[0] == '/');
  if (op == "dirname") {
    std::string trimmed = *path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    stdfs::path p(trimmed);
    if (!p.has_parent_path() || p.parent_path() == p) {
      return CommandResult::failure("path has no parent: " + *path);
    }
    return CommandResult::success(p.parent_path().string());
  }
  std::string name = last_component(*path);
  if (op == "extname") {
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) {
      return CommandResult::failure("path has no extension: " + *path);
    }
    return CommandResult::success(name.substr(dot + 1));
  }
  if (op == "basename") {
    if (name.empty() || name == "/") return CommandResult::failure("path has no name: " + *path);
    if (auto ext = string_arg(args, "ext");
        ext && !ext->empty() && name.size() > ext->size() && name.ends_with(*ext)) {
      name.resize(name.size() - ext->size());
    }
    return CommandResult::success(name);
  }
  return CommandResult::failure("unsupported path plugin command: plugin:path|" + op);
}

}  // namespace

bool handlePath(FamilyContext& /*ctx*/, const std::string& cmd, const json& args,
                const Completion& done) {
  if (!cmd.starts_with(kPathPrefix)) return false;
  done(path_command(cmd.substr(kPathPrefix.size()), args));
  return true;
}

}  // namespace vessa::commands
