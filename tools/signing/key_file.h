// Key files of the signing side: text, one `name=hex` per line, blank lines
// and lines starting with '#' ignored.
//
//   public key file:  eddsa_public (32 bytes), curve25519_public (32 bytes,
//                     the x-coordinate), table (72 words)
//   private key file: eddsa_private_seed (32 bytes), curve25519_private
//                     (32 bytes, a little-endian scalar), table (72 words)
//
// The table is the sign_hash table, eight hex digits a word, blank-separated,
// the 64 round constants first. The build reads the public file too
// (keys/CMakeLists.txt); the installer itself never parses key files.
#pragma once

#include <cstdint>
#include <string>

#include "verify/builtin_keys.h"

namespace signing {

struct private_keys {
    std::uint8_t eddsa_seed[32];
    std::uint8_t curve25519_private[32];
    std::uint32_t table[verify::sign_hash_table_words];
};

// Parse the text of a key file. False with a message in error when a line is
// malformed, a key is unknown, repeated or missing, or a value has the wrong
// size.
bool parse_public_keys(const std::string& text, verify::public_keys& keys, std::string& error);
bool parse_private_keys(const std::string& text, private_keys& keys, std::string& error);

// The same from a file.
bool read_public_key_file(const std::string& path, verify::public_keys& keys, std::string& error);
bool read_private_key_file(const std::string& path, private_keys& keys, std::string& error);

// The sign_hash table of a key file, public or private.
bool read_key_file_table(const std::string& path, std::uint32_t table[verify::sign_hash_table_words],
                         std::string& error);

// The text of a key file.
std::string format_public_keys(const verify::public_keys& keys);
std::string format_private_keys(const private_keys& keys);

}  // namespace signing
