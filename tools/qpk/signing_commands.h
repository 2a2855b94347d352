// The signing side of qpk: signing package files with a private key file,
// making key pairs, and checking the signatures of a package file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "qpk/writer.h"
#include "signing/key_file.h"

namespace qpk {

// Signs signature parts with the keys of one private key file.
class package_signer {
public:
    // Reads the private key file. level 2 signs with both signatures (a
    // 132-byte part), level 1 with the Curve25519 signature alone (68 bytes).
    bool load(const std::string& path, int level, std::string& error);

    // Length of the signature parts this signer fills.
    std::uint32_t part_length() const;

    // The writer's hook. A part too short for the level, or a failure of
    // the signer, makes it return nothing (the writer then refuses the
    // file); failure() tells why.
    sign_function function();
    const std::string& failure() const { return failure_; }

private:
    signing::private_keys keys_{};
    int level_ = 2;
    std::string failure_;
};

// Reads the private key file at path for signing at level. Returns -1 to go
// on, or exit_failure after reporting why not as "qpk COMMAND: ...".
int load_signer(const std::string& path, int level, package_signer& signer, std::FILE* err, const char* command);

// "qpk keygen", "qpk verify" and "qpk sign"; exit status as for qpk::run.
int run_keygen(int argc, char** argv, std::FILE* out, std::FILE* err);
int run_verify(int argc, char** argv, std::FILE* out, std::FILE* err);
int run_sign(int argc, char** argv, std::FILE* out, std::FILE* err);

}  // namespace qpk
