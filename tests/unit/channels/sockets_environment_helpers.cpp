// The tests open sockets outside any channel.
#include "support/sockets_environment.h"
