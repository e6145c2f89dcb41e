// The files the installer reads besides its own image, and the start of its
// command line that names them.
#pragma once

#include <string>

#include "launcher/switches.h"
#include "package/pe_reader.h"

// Writes the parameters file (always) and, for a version-2 package, the
// picture and icon files the user did not name, each under a fresh name in
// the temporary directory. Returns the hand-over prefix: a piece
// /pi="path" , /pic="path" , /ico="path"  for each file named, in that
// order, each closed by one space. Raises what the operations it calls raise.
std::wstring PrepareInstallerArguments(const PeReader& reader, const HandOverFlags& flags);
