// The public half of the release signing key. Update archives are signed with the secret half,
// which never enters this repository (see scripts/release). Replacing the key pair means
// replacing this line and shipping a build before the first archive signed with the new key.
#include "updater/release_key.hpp"

namespace vessa::updater {

// untrusted comment: minisign public key 210060AC417C38A7
const char* const kReleasePublicKey = "RWSnOHxBrGAAIYK8H18FHSBcfdVteuKJSEddM/WlL/+Ydx4g+zyDCZ2W";

}  // namespace vessa::updater
