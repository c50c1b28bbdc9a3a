// How a thread of the runtime sleeps and is woken, supplied by each platform
// (platform/<os>/rt_wake_*.cpp): a sequence word the thread sleeps on while it
// watches nothing else, and a descriptor that becomes readable when signalled,
// for sleeps in poll() beside the descriptors of its requests.
#ifndef PDX_RT_WAKE_H
#define PDX_RT_WAKE_H

#include <time.h>

// A new wake-up descriptor, non-blocking and close-on-exec; -1 with errno.
int RtWakeFdOpen(void);
// Makes the descriptor readable until it is drained.
void RtWakeFdSignal(int fd);
void RtWakeFdDrain(int fd);
void RtWakeFdClose(int fd);

// Sleeps while *word equals `expected`, until woken or `timeout` (relative;
// nullptr: no limit) has passed. May return early for no reason.
void RtWordSleep(int* word, int expected, const struct timespec* timeout);
// Wakes one thread sleeping on `word`.
void RtWordWake(int* word);

#endif
