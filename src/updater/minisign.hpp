// minisign signatures (Ed25519; the BLAKE2b-prehashed "ED" form and the legacy "Ed" form),
// checked with libsodium against the release public key built into the program.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

namespace vessa::updater {

struct PublicKey {
  std::array<std::uint8_t, 8> key_id{};
  std::array<std::uint8_t, 32> key{};
};

/// Reads a minisign public key: the base64 line alone or the whole public key file.
tl::expected<PublicKey, std::string> parse_public_key(std::string_view text);

/// Checks the file at `path` against `signature`: a minisign signature file's text, or that
/// text in base64 (as update manifests carry it). Both the file's signature and the trusted
/// comment's must hold. The error says why it was rejected. Any thread.
tl::expected<void, std::string> verify_file_signature(const std::string& path,
                                                      std::string_view signature,
                                                      const PublicKey& key);

/// The release public key (base64 line) this program trusts.
std::string release_public_key();

/// Test hook: trust `key` instead of the built-in key (nullopt restores it).
void set_release_public_key_for_testing(std::optional<std::string> key);

}  // namespace vessa::updater
