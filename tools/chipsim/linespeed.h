#ifndef LINESPEED_H
#define LINESPEED_H

// Speed in baud that the host has set on a serial line, read through any descriptor of
// that line; 0 when it cannot be read. Kept apart from <termios.h> users because the
// kernel's termios2 (needed for speeds without a B constant) clashes with it.
int readLineSpeed(int fd);

#endif
