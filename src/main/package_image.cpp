#include "main/package_image.h"

#include "platform/router_paths.h"

void keep_as_image(file_manifest& manifest, const std::string& package_file, const std::string& image_path,
                   bool boot) {
    if (boot) {
        stage_move(manifest, package_file, boot_image_path);
        stage_symlink(manifest, boot_image_path, image_path);
    } else {
        stage_move(manifest, package_file, image_path);
    }
}
