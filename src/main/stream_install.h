// Stream install mode ("installer -"): one package or bundle read from
// standard input, kept whole as its package image when it carries one.
#pragma once

#include <cstdint>
#include <istream>

#include "console/context.h"
#include "main/simulate.h"

// Carries out the scheduled actions, installs what input holds and applies
// the result, or cancels everything when the installation fails. The exit
// status: the installation's result, or -1 when the copy of the input
// cannot be created. With a simulation nothing is applied or logged: the
// simulation learns whether the run would change anything.
int stream_install_mode(installer_context& ctx, std::istream& input, std::uint32_t mask,
                        simulation* simulated = nullptr);
