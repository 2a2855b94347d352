#include "verify/builtin_keys.h"

// Written by the build from the configured public key file.
#include "installer_key_data.h"

namespace verify {
namespace {

constexpr public_keys keys_of_build = {
    {INSTALLER_EDDSA_PUBLIC},
    {INSTALLER_CURVE25519_PUBLIC},
    {INSTALLER_SIGN_HASH_TABLE},
};

}  // namespace

const public_keys& builtin_keys() { return keys_of_build; }

const char* builtin_key_file() { return INSTALLER_KEY_FILE; }

}  // namespace verify
