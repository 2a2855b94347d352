// One run at a time on a root. Two runs that change the same flash at once
// interleave their staged files, records and package images; every run that
// may change anything holds this lock from before the database is loaded to
// the end of its apply, and a second run waits a few seconds for it, then
// gives up without changing anything.
#pragma once

#include <string>

#include "platform/router_paths.h"

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
    // For a run that only reads: waits, as acquire does, while another run
    // holds the lock, and keeps such runs out while it reads, without
    // writing anything: an existing lock file is shared, and where there is
    // none no run is at work (true, nothing held). Released without
    // deleting the file.
    bool share(const std::string& path, unsigned wait_milliseconds);
    // Deletes the lock file and releases the lock; acquire may be called again.
    void release();
    // After a failed acquire: whether another run held the lock (rather than
    // the lock file being impossible to open).
    bool busy() const { return busy_; }

private:
    bool take(const std::string& path, unsigned wait_milliseconds, bool shared);

    int fd_ = -1;
    bool busy_ = false;
    bool shared_ = false;
    std::string path_;
};
