// The exit statuses of an installer run. The system tools that start it read
// the numbers, so each keeps its value.
#pragma once

enum class exit_status : int {
    success = 0,
    failed = 1,
    saved_changes_wait = 1,  // refused: a saved manifest waits for "--commit" or "--cancel"
    busy = 16,               // another run holds the lock, as EBUSY
    no_room = 28,            // not enough space on flash, as ENOSPC
    no_image = -1,           // the stream install could not create its image file (255 to the caller)
};

constexpr int exit_code(exit_status status) { return static_cast<int>(status); }
