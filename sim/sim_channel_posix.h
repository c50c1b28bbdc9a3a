// POSIX device channels: the path handler the simulator registers with the
// runtime for its device paths.
#ifndef PDXSIM_CHANNEL_POSIX_H
#define PDXSIM_CHANNEL_POSIX_H

#include "pdx_runtime.h"

#define SIM_POSIX_PATH_PREFIX "\\\\?\\pdxsim#"

int sim_posix_open(void* ctx, const char* path, DWORD access, DWORD share, DWORD flags, int* kind, DWORD* write_length,
                   DWORD* error);

#endif
