// Linked into the client when the C++ runtime is linked statically. The runtime's default
// handler for an uncaught exception prints the exception's type, demangled: that handler
// and its demangler are more than a third of the program. The client throws nothing of
// its own (only an allocation failure could end it this way), so it aborts quietly.
#include <cstdlib>
#include <exception>

namespace __cxxabiv1 {
std::terminate_handler __terminate_handler = std::abort;
}
