#include "tools/Commands.h"

#include <cstdio>

int RunSimCommand(int, char**) {
    std::fputs("vok: this command is not built yet\n", stderr);
    return 1;
}
