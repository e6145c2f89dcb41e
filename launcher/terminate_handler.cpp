// The stub's terminate handler, in place of the C++ runtime's default one.
//
// The runtime's default handler writes the demangled type of an uncaught
// exception to standard error, and with it links the demangler and the
// printf family into the program: about a quarter of the stub's size. A GUI
// program has no standard error to write to, and the run sequence lets no
// exception through, so this handler only ends the process the way the
// default one does after its text: with abort().
//
// The runtime names its default handler __gnu_cxx::__verbose_terminate_handler
// and installs it by that name; a program that defines the function itself
// is linked with this definition instead of the runtime's. It is linked into
// the stub alone (not into the subsystem libraries), so the test programs
// keep the runtime's handler and its report.
#include <cstdlib>
#include <exception>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
    std::abort();
}

}  // namespace __gnu_cxx
