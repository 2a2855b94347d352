// Keeping the package file of an installed package as its package image.
#pragma once

#include <string>

#include "manifest/manifest.h"

// Stages the package file to become the image at image_path (the record
// directory's "image"). The boot package's file becomes the boot image
// instead, and image_path a link to it, so that the boot loader and the
// database find one file.
void keep_as_image(file_manifest& manifest, const std::string& package_file, const std::string& image_path,
                   bool boot);
