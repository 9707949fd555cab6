// The line the sim plays the target on: a raw pseudo-terminal pair.
#pragma once

#include <string>

struct Pty {
    int master = -1;  // non-blocking
    int slave = -1;
    std::string device;  // the slave's path, for the host
};

// Ends the program with status 1 when the pair cannot be made.
Pty open_pty();
