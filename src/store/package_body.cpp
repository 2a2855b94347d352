#include "store/package_body.h"

#include <algorithm>
#include <cstdint>

#include "store/package_format.h"

namespace {

constexpr std::uint32_t image_skip_step = 4096;

}  // namespace

body_read read_package_body(package_istream& stream, package_body_reader& reader, int required_level,
                            bool stands_alone) {
    if (stream.current_type == part_type::image) {
        // Passed over in steps only so that the progress bar moves. A step
        // that fails has met the end of the data; the stream has failed
        // then, and the signature check below refuses it.
        std::uint32_t left = stream.part_length();
        while (left != 0) {
            reader.image_step(stream);
            std::uint32_t step = std::min(left, image_skip_step);
            if (!stream.seekg(step, std::ios_base::cur)) break;
            left -= step;
        }
        stream.next_part();
    }

    if (stream.current_type == part_type::file_archive) {
        if (!reader.file_archive(stream)) return body_read::archive_failed;
        stream.next_part();
    }

    if (stream.current_type != part_type::signature) return body_read::broken;
    const int level = stream.verify_signature();
    reader.signature_checked(stream, level);
    if (level < required_level) return body_read::broken;
    stream.next_part();

    if (stands_alone && !reached_package_end(stream, false)) return body_read::broken;
    return body_read::whole;
}

bool reached_package_end(package_istream& stream, bool bundle) {
    if (stream.current_type == part_type::architecture) stream.next_part();
    if (!bundle && stream.current_type == part_type::dependency_list && stream.part_length() == 0) stream.next_part();
    return stream.current_type == -1 && stream.ended_at_declared_size();
}
