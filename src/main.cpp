// Vessamo: a POP3-to-SMTP mail router. The shell reads the switches and wires the rest.
#include "shell/application.h"

#include <malloc.h>

int main(int argc, char **argv)
{
    // Each message passes through buffers of 64 KB and more. With the C library's default
    // thresholds the heap is given back to the system after every message (and buffers
    // over 128 KB are mapped afresh), so every message paid for new pages again. Buffers
    // up to 1 MB now come from the heap, and up to 4 MB of free heap is kept for the next.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 4 * 1024 * 1024);
    return vessamo::shell::run(argc, argv);
}
