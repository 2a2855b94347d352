// Loading the installed set at start-up, and scanning download directories.
#pragma once

#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "console/context.h"
#include "store/package.h"

// Package files found in download directories, owned by whoever scans.
using candidate_list = std::vector<std::unique_ptr<download_record>>;

// Stores quiet and architecture in the context, then loads the installed
// packages into its package list: first the records read from images in the
// database, then those read from images in /rw/pckg/.images/, then the
// record directories that have no image, each group in directory order.
// Every record is completed from its record directory. Without a readable
// /flash/var/pdb/ the set stays empty and "could not open repo" is warned.
void load_repository(installer_context& ctx, bool quiet, const std::string& architecture);

// For every record directory in the package database (plain files there
// are none), reads its package image (from image_directory + name when
// outside_database, else from the record directory's `image`) into new
// records appended to the context. The names always come from the
// database, so an image without a record directory is never found. Images
// that are no regular files are not read. False only when /flash/var/pdb/
// cannot be opened.
bool load_images(installer_context& ctx, const std::string& image_directory, bool outside_database);

// Reads one package image whose record directory is entry_name and appends
// the records it yields: a bundle's members (bundle reference set) before the
// bundle's own record. An image that is no package, or whose header names no
// single database entry, yields a record named entry_name that the record
// directory completes; so does a bundle of more than max_bundle_members
// members, reported as "broken package %s" with entry_name. Only the
// description parts are read; the rest is seeked over.
void read_package_image(installer_context& ctx, const std::string& entry_name, std::istream& source);

// Appends one download record per readable package file (".qpk" or ".vpk")
// of directory, whose name ends with "/". Every other such file is reported
// as "broken package %s" by its entry name and left where it is. A missing
// directory adds and reports nothing.
void scan_download_dir(installer_context& ctx, const std::string& directory, candidate_list& candidates);

// Reads the description of the package file at path, and for a bundle its
// members' descriptions, into record (whose path becomes path). False when
// the file cannot be read or is no regular file, its size disagrees with its
// header, a description is broken, a bundle has no member or more than
// max_bundle_members, or a name could not stand as a record directory.
bool read_download_file(download_record& record, const std::string& path);
