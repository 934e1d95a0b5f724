// minisign signature checks with libsodium.
#include "updater/minisign.hpp"

#include <sodium.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "support/lines.hpp"
#include "updater/release_key.hpp"

namespace vessa::updater {
namespace {

constexpr std::string_view kUntrusted = "untrusted comment:";
constexpr std::string_view kTrusted = "trusted comment: ";

bool sodium_ready() {
  static const bool ok = sodium_init() >= 0;
  return ok;
}

// Decodes standard base64 (whitespace ignored); nullopt unless it is exactly `size` bytes.
std::optional<std::vector<std::uint8_t>> decode_base64(std::string_view text, size_t size) {
  std::vector<std::uint8_t> out(size + 3);
  size_t len = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), " \t\r\n", &len, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != text.data() + text.size() || len != size) {
    return std::nullopt;
  }
  out.resize(size);
  return out;
}

std::vector<std::string> text_lines(std::string_view text) {
  std::vector<std::string> lines;
  for (auto& line : split_lines(std::string(text))) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!trim(line).empty()) lines.push_back(line);
  }
  return lines;
}

struct Signature {
  bool prehashed = false;
  std::array<std::uint8_t, 8> key_id{};
  std::array<std::uint8_t, 64> sig{};
  std::string trusted_comment;
  std::array<std::uint8_t, 64> global_sig{};
};

tl::expected<Signature, std::string> parse_signature(std::string_view field) {
  std::string text = trim(field);
  if (!text.starts_with(kUntrusted)) {
    // Manifests carry the signature file base64-encoded; its length is not known up front.
    std::vector<unsigned char> raw(text.size());
    size_t len = 0;
    const char* end = nullptr;
    if (sodium_base642bin(raw.data(), raw.size(), text.data(), text.size(), " \t\r\n", &len, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size()) {
      return tl::unexpected(std::string("signature is not minisign text or base64"));
    }
    text.assign(reinterpret_cast<const char*>(raw.data()), len);
    if (!text.starts_with(kUntrusted)) {
      return tl::unexpected(std::string("signature is not a minisign signature"));
    }
  }
  auto lines = text_lines(text);
  if (lines.size() < 4 || !lines[2].starts_with(kTrusted)) {
    return tl::unexpected(std::string("signature is incomplete"));
  }
  auto sig = decode_base64(lines[1], 2 + 8 + 64);
  auto global = decode_base64(lines[3], 64);
  if (!sig || !global) return tl::unexpected(std::string("signature is malformed"));
  Signature s;
  if ((*sig)[0] == 'E' && (*sig)[1] == 'D') {
    s.prehashed = true;
  } else if ((*sig)[0] != 'E' || (*sig)[1] != 'd') {
    return tl::unexpected(std::string("unsupported signature algorithm"));
  }
  std::copy(sig->begin() + 2, sig->begin() + 10, s.key_id.begin());
  std::copy(sig->begin() + 10, sig->end(), s.sig.begin());
  s.trusted_comment = lines[2].substr(kTrusted.size());
  std::copy(global->begin(), global->end(), s.global_sig.begin());
  return s;
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

// The signed message: the whole file (legacy) or its BLAKE2b-512 hash (prehashed).
std::optional<std::vector<std::uint8_t>> signed_message(const std::string& path, bool prehashed) {
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return std::nullopt;
  std::vector<std::uint8_t> buffer(1 << 16);
  std::vector<std::uint8_t> whole;
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
  size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0) {
    if (prehashed) {
      crypto_generichash_update(&state, buffer.data(), n);
    } else {
      whole.insert(whole.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    }
  }
  if (std::ferror(file.get())) return std::nullopt;
  if (!prehashed) return whole;
  std::vector<std::uint8_t> hash(crypto_generichash_BYTES_MAX);
  crypto_generichash_final(&state, hash.data(), hash.size());
  return hash;
}

std::string key_id_text(const std::array<std::uint8_t, 8>& id) {
  // minisign prints key IDs as the little-endian number in hexadecimal.
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (size_t i = id.size(); i-- > 0;) {
    out += kHex[id[i] >> 4];
    out += kHex[id[i] & 0xF];
  }
  return out;
}

std::mutex& key_mutex() {
  static std::mutex m;
  return m;
}
std::optional<std::string>& key_override() {
  static std::optional<std::string> k;
  return k;
}

}  // namespace

tl::expected<PublicKey, std::string> parse_public_key(std::string_view text) {
  auto lines = text_lines(text);
  if (!lines.empty() && lines[0].starts_with(kUntrusted)) lines.erase(lines.begin());
  if (lines.empty()) return tl::unexpected(std::string("public key is empty"));
  auto raw = decode_base64(trim(lines[0]), 2 + 8 + 32);
  if (!raw || (*raw)[0] != 'E' || (*raw)[1] != 'd') {
    return tl::unexpected(std::string("public key is malformed"));
  }
  PublicKey key;
  std::copy(raw->begin() + 2, raw->begin() + 10, key.key_id.begin());
  std::copy(raw->begin() + 10, raw->end(), key.key.begin());
  return key;
}

tl::expected<void, std::string> verify_file_signature(const std::string& path,
                                                      std::string_view signature,
                                                      const PublicKey& key) {
  if (!sodium_ready()) return tl::unexpected(std::string("signature checks are unavailable"));
  if (trim(signature).empty()) return tl::unexpected(std::string("no signature"));
  auto sig = parse_signature(signature);
  if (!sig) return tl::unexpected(sig.error());
  if (sig->key_id != key.key_id) {
    return tl::unexpected("signed with another key (" + key_id_text(sig->key_id) + ")");
  }
  auto message = signed_message(path, sig->prehashed);
  if (!message) return tl::unexpected("cannot read " + path);
  if (crypto_sign_verify_detached(sig->sig.data(), message->data(), message->size(),
                                  key.key.data()) != 0) {
    return tl::unexpected(std::string("signature does not match the archive"));
  }
  std::vector<std::uint8_t> global(sig->sig.begin(), sig->sig.end());
  global.insert(global.end(), sig->trusted_comment.begin(), sig->trusted_comment.end());
  if (crypto_sign_verify_detached(sig->global_sig.data(), global.data(), global.size(),
                                  key.key.data()) != 0) {
    return tl::unexpected(std::string("trusted comment signature does not match"));
  }
  return {};
}

std::string release_public_key() {
  std::scoped_lock lock(key_mutex());
  return key_override().value_or(std::string(kReleasePublicKey));
}

void set_release_public_key_for_testing(std::optional<std::string> key) {
  std::scoped_lock lock(key_mutex());
  key_override() = std::move(key);
}

}  // namespace vessa::updater
