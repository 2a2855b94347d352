// Packages written as one line: the one notation of the tests, read into package objects for the resolution rules,
// into signed package files for the runs of the installer, into record directories laid out in a root, and printed
// back from the objects that the store loads. A line is "name[-version]" and then any of these words:
//   @BUILD-TIME  #HEADER-FLAGS  arch=TEXT  note=TEXT  %IMAGE-PART-TEXT  second-kind  placeholder  bundle
//   >DEPENDENCY  +PROVISION  !CONFLICT  ^BUNDLE-REFERENCE   each NAME[:MIN[:MAX[:PRECEDENCE]]] as qpk takes it
//   {MEMBER LINE}   a bundle member; an "off" member is one of the bundle's default-disabled members
//   /PATH           a file of the package (its content "name-version"); a record's file list
//   off  user  do=uninstall|enable|disable   the record's state and its scheduled action
// The version defaults to 1.0.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qpk/writer.h"
#include "store/package.h"

namespace line {

// The blank-separated words of a line, a braced member counting as one.
std::vector<std::string> words(const std::string& text);

requirement req(const std::string& text);

// The package object of a line: a package_description, package_record or download_record.
template <class T = package_record>
std::unique_ptr<T> object(const std::string& text);

// What the package tool writes for a line (a bundle's members included), to change before it is built.
qpk::package_contents contents(const std::string& text);

// The signed package file of a line (a bundle when it has members), at signature level 2 or 1, or with a signature part
// of zero bytes at level 0.
std::string file(const std::string& text, int level = 2);
std::string file(const qpk::package_contents& contents, int level = 2);

// An object printed in the notation: every field not at its default, texts and architecture as "[text]", an image as
// "%", a record's files, bundle reference and state at the end.
std::string text(const package_description& package);

// The version number of a version text, for the numbers in the database's files.
std::string number(const std::string& version);

extern template std::unique_ptr<package_description> object<package_description>(const std::string&);
extern template std::unique_ptr<package_record> object<package_record>(const std::string&);
extern template std::unique_ptr<download_record> object<download_record>(const std::string&);

}  // namespace line
