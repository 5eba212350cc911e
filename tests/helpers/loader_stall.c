/* A library whose constructor keeps the dynamic loader's lock (dlopen runs constructors
   with it held) until the test lets it go. KURA_LOADER_STALL names two descriptors,
   "HELD,RELEASE": the constructor writes one byte to HELD, then waits, at most a minute,
   for one byte on RELEASE. */
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

__attribute__((constructor)) static void HoldTheLoaderLock(void) {
    const char* fds = getenv("KURA_LOADER_STALL");
    int held = -1, release = -1;
    if (!fds || sscanf(fds, "%d,%d", &held, &release) != 2) return;
    char byte = 'h';
    if (write(held, &byte, 1) != 1) return;
    struct pollfd wait = {release, POLLIN, 0};
    if (poll(&wait, 1, 60000) == 1 && read(release, &byte, 1) != 1) return;
}
