// Each connection takes a file descriptor: the server may open as many as
// the system lets the process have.
#pragma once

#include <cstddef>
#include <ostream>

namespace tvkserve {

// Raises the process's file limit to its hard limit, and warns when that is
// fewer than max_connections connections need (connections beyond it wait
// in the listen queue). At start and on each reload.
void RaiseFileLimit(std::size_t max_connections, std::ostream& warnings);

}  // namespace tvkserve
