// The background download: working folder, archive download, signature check, unpacking.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "support/fs.hpp"
#include "support/http.hpp"
#include "support/log.hpp"
#include "support/paths.hpp"
#include "support/subprocess.hpp"
#include "support/utf8.hpp"
#include "updater/minisign.hpp"
#include "updater/staged_tree.hpp"
#include "updater/update_checker.hpp"

namespace vessa::updater {
namespace {

// A slow line is fine as long as bytes keep coming; a stalled transfer is given up.
std::atomic<std::chrono::seconds::rep> g_idle_limit{60};

// The first `count` characters (not bytes) of valid UTF-8 text.
std::string first_chars(const std::string& text, size_t count) {
  size_t i = 0;
  size_t chars = 0;
  while (i < text.size() && chars < count) {
    auto c = static_cast<unsigned char>(text[i]);
    size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    i += len;
    ++chars;
  }
  return text.substr(0, i);
}

// Output as text: undecodable bytes give the empty string.
std::string decoded(const std::string& bytes) { return is_valid_utf8(bytes) ? bytes : ""; }

std::string status_number(const proc::ExitStatus& status) {
  return std::to_string(status.exited ? status.code : status.signal);
}

// The version comes from the network: keep it to one harmless path component.
std::string folder_safe(const std::string& version) {
  std::string out;
  for (char c : version) {
    bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              c == '.' || c == '-' || c == '_' || c == '+';
    out += ok ? c : '_';
  }
  return out;
}

std::string tar_path() {
  return paths::is_executable_file("/usr/bin/tar") ? "/usr/bin/tar" : "/bin/tar";
}

}  // namespace

void UpdateChecker::set_download_idle_limit_for_testing(std::chrono::seconds limit) {
  g_idle_limit = limit.count();
}

UpdateResult<void> UpdateChecker::runTool(const std::string& path,
                                          const std::vector<std::string>& args,
                                          UpdateError::Kind failure) {
  proc::Options options;
  options.argv.push_back(path);
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.out = proc::Stdio::null();
  options.err = proc::Stdio::pipe();
  auto run = proc::run(options);
  if (!run) return tl::unexpected(UpdateError::other(run.error()));
  if (run->status.success()) return {};
  return tl::unexpected(UpdateError{
      failure, "exit " + status_number(run->status) + ": " + first_chars(decoded(run->err), 200)});
}

UpdateResult<std::string> UpdateChecker::runToolCapture(const std::string& path,
                                                        const std::vector<std::string>& args) {
  // Both streams go to one file opened for appending, so they interleave as written.
  std::string tmpl = (std::filesystem::temp_directory_path() / "vessa-tool-XXXXXX").string();
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0) return tl::unexpected(UpdateError::other(std::strerror(errno)));
  ::close(fd);
  proc::Options options;
  options.argv.push_back(path);
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.out = proc::Stdio::append(tmpl);
  options.err = proc::Stdio::append(tmpl);
  auto run = proc::run(options);
  std::string text = decoded(fs::read_file(tmpl).value_or(""));
  ::unlink(tmpl.c_str());
  if (!run) return tl::unexpected(UpdateError::other(run.error()));
  if (run->status.success()) return text;
  return tl::unexpected(UpdateError::badArchive(path + " exited " + status_number(run->status) +
                                                ": " + first_chars(text, 200)));
}

UpdateResult<std::filesystem::path> UpdateChecker::downloadAndPrepare(
    const std::string& version, const std::string& tarballURL, const std::string& signature) {
  namespace stdfs = std::filesystem;
  std::error_code ec;
  // The user's own cache, not the shared temporary folder: nothing else cleans or writes it.
  const stdfs::path updates = stdfs::path(paths::cache_home()) / "vessa" / "updates";
  stdfs::path work = updates / ("vessa-update-" + folder_safe(version));
  stdfs::remove_all(work, ec);
  if (!fs::create_directories(updates.string()) || ::mkdir(work.c_str(), 0700) != 0) {
    return tl::unexpected(
        UpdateError::other("cannot create " + work.string() + ": " + std::strerror(errno)));
  }

  const stdfs::path archive = work / "update.tar.gz";
  http::Request request;
  request.url = tarballURL;
  request.timeout = std::chrono::milliseconds(0);
  request.idle_limit = std::chrono::seconds(g_idle_limit.load());
  request.output_file = archive.string();
  request.headers = {{"Cache-Control", "no-cache"}, {"Pragma", "no-cache"}};
  auto response = http::perform(request);
  if (!response) return tl::unexpected(UpdateError::other(response.error()));
  if (response->status != 200) {
    return tl::unexpected(UpdateError::badArchive("HTTP " + std::to_string(response->status)));
  }

  // The archive's signature is checked before anything in it is unpacked.
  auto key = parse_public_key(release_public_key());
  if (!key) return tl::unexpected(UpdateError::signatureRejected(key.error()));
  auto verified = verify_file_signature(archive.string(), signature, *key);
  if (!verified) return tl::unexpected(UpdateError::signatureRejected(verified.error()));

  // Owners and special modes from the archive are not kept, whoever unpacks it.
  auto extracted = runTool(
      tar_path(),
      {"--no-same-owner", "--no-same-permissions", "-xzf", archive.string(), "-C", work.string()},
      UpdateError::Kind::kBadArchive);
  if (!extracted) return tl::unexpected(extracted.error());

  stdfs::path app = work / "Vessa.app";
  // Refuses a linked root, special files and links leading out of the tree.
  auto record = describe_staged_tree(app);
  if (!record) return tl::unexpected(record.error());
  // Installing a folder that cannot start would leave the user without an application.
  if (!paths::is_executable_file(app / "bin" / "vessa")) {
    return tl::unexpected(UpdateError::badArchive("no bin/vessa in Vessa.app"));
  }
  if (!fs::atomic_write((work / kStagedRecord).string(), *record, 0600)) {
    return tl::unexpected(UpdateError::other("cannot write " + (work / kStagedRecord).string()));
  }
  vessa::log("update " + version + " verified at " + app.string());
  return app;
}

}  // namespace vessa::updater
