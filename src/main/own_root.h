// Changing into an image root without privileges: an image builder installs
// packages into a directory tree it owns, as its own user.
#pragma once

#include <string>

// For a caller that may not chroot: enters a new user and mount namespace in
// which the caller is root (and only the caller's own user and group are
// mapped), then changes root there. False, with errno as chroot left it
// (EPERM), when the kernel permits neither; the process may then be in a
// namespace of its own and should not go on.
bool chroot_as_own_root(const std::string& root);
