#include "lifecycle.h"

#include <malloc.h>

int main(int argc, char **argv)
{
    // One allocator arena for all threads: the daemon's threads allocate little and
    // rarely, and an arena per thread would reserve 64 MiB of address space each.
    mallopt(M_ARENA_MAX, 1);
    return daemon_main(argc, argv);
}
