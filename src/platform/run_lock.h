// One run at a time on a root. Two runs that change the same flash at once
// interleave their staged files, records and package images; every run that
// may change anything holds this lock from before the database is loaded to
// the end of its apply, and a second run waits a few seconds for it, then
// gives up without changing anything.
#pragma once

#include <string>

// The lock file. It lives in /ram: the lock has to outlive nothing but the
// run that holds it (the kernel releases it when that run ends, a kill or a
// crash included, and a power cut ends every run), so it has no business on
// flash, where it would cost a write per run and could not be created on a
// full flash, which is exactly when the operator must be able to cancel or
// uninstall. A lock file left by a killed run is harmless and goes with the
// next reboot.
constexpr const char* run_lock_path = "/ram/installer.lock";

// How long a second run waits for the first one (tests shorten it).
inline unsigned run_lock_wait_milliseconds = 5000;

class run_lock {
public:
    run_lock() = default;
    ~run_lock();  // releases the lock, if held
    run_lock(const run_lock&) = delete;
    run_lock& operator=(const run_lock&) = delete;

    // Takes the lock on path, trying again every 100 ms for up to
    // wait_milliseconds. False when another run still holds it then, or
    // when the lock file cannot be opened as a plain file (a link there is
    // never followed).
    bool acquire(const std::string& path, unsigned wait_milliseconds);
    // Deletes the lock file and releases the lock; acquire may be called again.
    void release();
    // After a failed acquire: whether another run held the lock (rather than
    // the lock file being impossible to open).
    bool busy() const { return busy_; }

private:
    int fd_ = -1;
    bool busy_ = false;
    std::string path_;
};
