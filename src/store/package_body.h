// The order in which an installation reads a package after its description:
// the image part passed over in steps (never read into memory), the file
// archive, the signature, and for a package that stands alone what may follow
// its signature up to the end its file header declares. The installer and
// the hostile-input checks both read packages through it, so that what the
// checks exercise is the installer's own reading.
#pragma once

#include "stream/package_istream.h"

// What a reader does at the steps of a package's body.
class package_body_reader {
public:
    virtual ~package_body_reader() = default;
    // Before each step over the image part (the progress bar moves).
    virtual void image_step(package_istream& stream) = 0;
    // At the file archive, the current part. False ends the reading; the
    // reader has reported why.
    virtual bool file_archive(package_istream& stream) = 0;
    // Right after the signature check, at the signature part, with the level
    // it found (0 to 2).
    virtual void signature_checked(package_istream& stream, int level) = 0;
};

enum class body_read {
    whole,           // signed at the required level, and ended where it must
    archive_failed,  // file_archive said no
    broken,          // no signature, one below the required level, or a wrong end
};

// Reads the body of the package whose description was just read from stream.
// A bundle member (stands_alone false) ends at its signature: the next member
// or the bundle's end follows.
body_read read_package_body(package_istream& stream, package_body_reader& reader, int required_level,
                            bool stands_alone);

// After the last signature of a package, or after a bundle's last member: an
// architecture part, and for a package that is no bundle an empty dependency
// list, may follow; then the file must end where its header says, since a
// stream cut short (between two members too) reads like a whole one
// otherwise.
bool reached_package_end(package_istream& stream, bool bundle);
