#include "qpk/commands.h"

#include <string>
#include <vector>

#include "qpk/command_line.h"
#include "qpk/exit_status.h"
#include "qpk/inspect.h"
#include "qpk/package_commands.h"
#include "qpk/signing_commands.h"
#include "verify/builtin_keys.h"

namespace qpk {

namespace {

const char* const main_help =
    "usage: qpk COMMAND [options]   (qpk COMMAND --help tells the options of COMMAND)\n"
    "Makes, signs and inspects package files (.qpk, .vpk) for the router's installer.\n"
    "  build       make a package file from a directory tree\n"
    "  bundle      make a bundle file from member package files\n"
    "  sign        sign an existing package or bundle file again, without rebuilding it\n"
    "  verify      check the signatures of a package file as the installer does\n"
    "  inspect     show the parts, descriptions, file entries and signature digests of a file\n"
    "  keygen      make a signing key pair: a private and a public key file\n"
    "  -h, --help  show this help\n"
    "  --version   show the version of qpk\n"
    "Files: private key files (--key) and public key files (--public-key) come from \"qpk keygen\";\n"
    "without --public-key, verify checks against the installer build's keys, made from\n"
    "  %s\n"
    "Environment: SOURCE_DATE_EPOCH is the build time of a package built without --build-time;\n"
    "the same tree, key and SOURCE_DATE_EPOCH give the same bytes, signatures included.\n"
    "Exit status: 0 success; 1 refused, unreadable or malformed input, a signature that does not\n"
    "hold, or a file that cannot be written; 2 bad arguments.\n";

const char* const inspect_help =
    "usage: qpk inspect FILE\n"
    "Shows the part table of FILE (offset of each part's data, type, length), each package and bundle\n"
    "header's description as the installer reads it, a bundle's default-disabled members, the entries\n"
    "of each file archive (mode in octal, processor class, size, name) and each signature's digest.\n"
    "  -h, --help                 show this help\n"
    "Exit status: 0 shown, 1 the file cannot be read or is malformed, 2 bad arguments.\n";

int run_inspect(int argc, char** argv, std::FILE* out, std::FILE* err) {
    std::vector<std::string> files;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(inspect_help, out);
            return exit_ok;
        }
        if (arg.size() > 1 && arg[0] == '-') return usage_error(err, "inspect", "unknown option " + arg);
        files.push_back(arg);
    }
    if (files.size() != 1) return usage_error(err, "inspect", "give exactly one package file");
    return inspect_file(files[0], out, err);
}

}  // namespace

int run(int argc, char** argv, std::FILE* out, std::FILE* err) {
    if (argc < 2) {
        std::fprintf(err, main_help, verify::builtin_key_file());
        return exit_usage;
    }
    std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        std::fprintf(out, main_help, verify::builtin_key_file());
        return exit_ok;
    }
    if (command == "--version") {
        std::fprintf(out, "qpk %s\n", QPK_VERSION);
        return exit_ok;
    }
    if (command == "build" || command == "bundle") return run_package_command(command, argc, argv, out, err);
    if (command == "sign") return run_sign(argc, argv, out, err);
    if (command == "inspect") return run_inspect(argc, argv, out, err);
    if (command == "verify") return run_verify(argc, argv, out, err);
    if (command == "keygen") return run_keygen(argc, argv, out, err);
    std::fprintf(err, "qpk: unknown command \"%s\"\nRun \"qpk --help\" for the commands.\n", command.c_str());
    return exit_usage;
}

}  // namespace qpk
