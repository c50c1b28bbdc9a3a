// The system calls of the runtime that only Linux has, as entries of its
// system-call table (rt_syscalls.h): X(name, return type, parameters).
#ifndef PDX_RT_PLATFORM_SYSCALLS_H
#define PDX_RT_PLATFORM_SYSCALLS_H

#include <sys/eventfd.h>

#define RT_PLATFORM_SYSCALLS(X) X(eventfd, int, (unsigned int initval, int flags))

#endif
