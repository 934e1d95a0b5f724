// The release public key built into the program.
#pragma once

namespace vessa::updater {

/// minisign public key (base64 line) that update archives must be signed with.
extern const char* const kReleasePublicKey;

}  // namespace vessa::updater
