// Names the calling thread, so that top -H, ps -L and a core dump tell the daemon's threads
// apart. The kernel keeps 15 characters.
#pragma once

#include <pthread.h>

inline void thread_name(const char *name) { pthread_setname_np(pthread_self(), name); }
