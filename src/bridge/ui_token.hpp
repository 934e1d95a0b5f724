// The per-launch UI token shared by the page and the executor sidecar.
#pragma once

#include <optional>
#include <string>

namespace vessa::bridge::ui_token {

/// The token: 43 characters of URL-safe base64 from 32 random bytes, minted once per process
/// on first read (thread-safe); nullopt when no secure random source was available.
const std::optional<std::string>& value();

/// The document-start script defining the read-only `window.__VESSA_UI_TOKEN`; nullopt when
/// there is no token.
std::optional<std::string> injectionScript();

namespace detail {
/// Mints a token from the given sources, in order (exposed for tests).
std::optional<std::string> mint(bool (*secure_random)(unsigned char*, size_t),
                                const char* urandom_path);
/// URL-safe base64 without padding.
std::string base64url(const unsigned char* data, size_t size);
/// The injection script for `token`.
std::string script_for(const std::string& token);
}  // namespace detail

}  // namespace vessa::bridge::ui_token
