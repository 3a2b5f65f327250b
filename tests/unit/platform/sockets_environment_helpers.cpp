// The socket tests and the forced end of a thread in a socket wait.
#include "support/sockets_environment.h"
