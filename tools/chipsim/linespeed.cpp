#include "linespeed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

int readLineSpeed(int fd)
{
    struct termios2 tio;
    if (fd < 0 || ::ioctl(fd, TCGETS2, &tio) != 0)
        return 0;
    // The kernel keeps c_ospeed current for both the B-constant and the BOTHER way of
    // setting the speed, so it needs no translation.
    return static_cast<int>(tio.c_ospeed);
}
