// The command line the two delay elements share: "--delay-ms D" followed by
// pairs of arguments.
#pragma once

#include <cstdlib>
#include <cstring>

// D (0-10000 ms) when argv is "--delay-ms D" and one or more pairs; -1
// otherwise.
inline long delayMsOf(int argc, char** argv)
{
    if (argc < 5 || std::strcmp(argv[1], "--delay-ms") != 0 || (argc - 3) % 2 != 0)
        return -1;
    char* end = nullptr;
    long ms = std::strtol(argv[2], &end, 10);
    return end && !*end && ms >= 0 && ms <= 10000 ? ms : -1;
}
