// Recording and re-checking a staged bundle's tree.
#include "updater/staged_tree.hpp"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <map>

#include "support/fs.hpp"
#include "support/json.hpp"
#include "support/utf8.hpp"

namespace vessa::updater {
namespace {

namespace stdfs = std::filesystem;

// Relative path → "kind mode size hash" (kind d, f or l; a link's hash covers its target).
using Entries = std::map<std::string, std::string>;

constexpr size_t kHashBytes = crypto_generichash_BYTES;

std::string hex(const unsigned char* bytes, size_t count) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 0xf];
  }
  return out;
}

std::string hash_text(const std::string& text) {
  std::array<unsigned char, kHashBytes> h{};
  crypto_generichash(h.data(), h.size(), reinterpret_cast<const unsigned char*>(text.data()),
                     text.size(), nullptr, 0);
  return hex(h.data(), h.size());
}

UpdateResult<std::string> hash_file(const stdfs::path& path) {
  // O_NOFOLLOW: the entry was seen as a regular file; a link swapped in since is not followed.
  fs::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return tl::unexpected(UpdateError::other(path.string() + ": " + std::strerror(errno)));
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, kHashBytes);
  std::array<unsigned char, 65536> buf{};
  for (;;) {
    ssize_t n = ::read(fd.get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      return tl::unexpected(UpdateError::other(path.string() + ": " + std::strerror(errno)));
    if (n == 0) break;
    crypto_generichash_update(&state, buf.data(), static_cast<size_t>(n));
  }
  std::array<unsigned char, kHashBytes> h{};
  crypto_generichash_final(&state, h.data(), h.size());
  return hex(h.data(), h.size());
}

// A link stays inside when its target, read from the link's own folder, never climbs out.
bool link_stays_inside(const stdfs::path& rel, const stdfs::path& target) {
  if (target.empty() || target.is_absolute()) return false;
  stdfs::path resolved = (rel.parent_path() / target).lexically_normal();
  return !resolved.empty() && *resolved.begin() != "..";
}

UpdateResult<Entries> scan(const stdfs::path& root) {
  struct stat st {};
  if (::lstat(root.c_str(), &st) != 0) {
    return tl::unexpected(UpdateError::badArchive("no Vessa.app in archive"));
  }
  if (S_ISLNK(st.st_mode)) {
    return tl::unexpected(UpdateError::badArchive("Vessa.app is a link, not a folder"));
  }
  if (!S_ISDIR(st.st_mode)) {
    return tl::unexpected(UpdateError::badArchive("Vessa.app is not a folder"));
  }
  Entries entries;
  std::error_code ec;
  stdfs::recursive_directory_iterator it(root, ec);
  for (; !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
    const stdfs::path& path = it->path();
    const stdfs::path rel = path.lexically_relative(root);
    const std::string name = rel.string();
    if (!is_valid_utf8(name) || name.find_first_of("\n\r") != std::string::npos) {
      return tl::unexpected(UpdateError::badArchive("an entry's name is not plain text"));
    }
    if (::lstat(path.c_str(), &st) != 0) {
      return tl::unexpected(UpdateError::other(name + ": " + std::strerror(errno)));
    }
    const std::string mode = std::to_string(st.st_mode & 07777);
    if (S_ISDIR(st.st_mode)) {
      entries[name] = "d " + mode;
    } else if (S_ISLNK(st.st_mode)) {
      std::error_code lec;
      stdfs::path target = stdfs::read_symlink(path, lec);
      if (lec || !link_stays_inside(rel, target)) {
        return tl::unexpected(UpdateError::badArchive(name + " leads outside Vessa.app"));
      }
      entries[name] = "l " + hash_text(target.string());
    } else if (S_ISREG(st.st_mode)) {
      auto hash = hash_file(path);
      if (!hash) return tl::unexpected(hash.error());
      entries[name] = "f " + mode + " " + std::to_string(st.st_size) + " " + *hash;
    } else {
      return tl::unexpected(UpdateError::badArchive(name + " is not a file, folder or link"));
    }
  }
  if (ec) return tl::unexpected(UpdateError::other(root.string() + ": " + ec.message()));
  return entries;
}

}  // namespace

UpdateResult<std::string> describe_staged_tree(const std::filesystem::path& root) {
  if (sodium_init() < 0) return tl::unexpected(UpdateError::other("libsodium did not start"));
  auto entries = scan(root);
  if (!entries) return tl::unexpected(entries.error());
  return encode_json(json(*entries));
}

UpdateResult<void> verify_staged_tree(const std::filesystem::path& root,
                                      const std::string& record) {
  auto parsed = parse_json(record);
  if (!parsed || !parsed->is_object()) {
    return tl::unexpected(UpdateError::badArchive("the staged bundle's record is unreadable"));
  }
  Entries expected;
  for (const auto& [name, value] : parsed->items()) {
    if (!value.is_string()) {
      return tl::unexpected(UpdateError::badArchive("the staged bundle's record is unreadable"));
    }
    expected[name] = value.get<std::string>();
  }
  if (sodium_init() < 0) return tl::unexpected(UpdateError::other("libsodium did not start"));
  auto actual = scan(root);
  if (!actual) return tl::unexpected(actual.error());
  for (const auto& [name, what] : expected) {
    auto it = actual->find(name);
    if (it == actual->end()) return tl::unexpected(UpdateError::badArchive("missing " + name));
    if (it->second != what) return tl::unexpected(UpdateError::badArchive("changed " + name));
  }
  for (const auto& [name, what] : *actual) {
    if (!expected.contains(name)) {
      return tl::unexpected(UpdateError::badArchive("unexpected " + name));
    }
  }
  return {};
}

}  // namespace vessa::updater
