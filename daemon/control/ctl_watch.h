// The watch stream (CMD_WATCH): a connection that asks for it is told of every change of
// the inputs, the link switches and states, and the card's state and mount as it happens,
// instead of asking again and again. One thread serves every stream; it sleeps until a
// change is posted, a mount comes or goes, or a watcher can take more.
//
// Each stream has a bounded queue. A watcher that stops reading never holds anything up:
// once its queue is full the queue is dropped, and when the watcher reads again it gets a
// WATCH_LOST record and then the current values, from which the stream goes on.
#pragma once

#include <cstddef>

// Watchers served at once; the next one is refused with WATCH_REFUSED_FULL.
inline constexpr int CTL_WATCH_MAX = 128;
// Records a stream may hold beyond what its socket takes.
inline constexpr std::size_t CTL_WATCH_QUEUE = 64;
// The stream socket's send buffer in bytes (the kernel doubles it for its bookkeeping).
inline constexpr int CTL_WATCH_SEND_BUFFER = 16384;

// Takes over the connection FD that asked for CMD_WATCH: answers the request and streams
// from the watch thread (or refuses). Works on a duplicate, so the caller closes FD as
// for any other connection; the stream counts against CTL_WATCH_MAX alone.
void ctl_watch_adopt(int fd);
// Ends every stream and the watch thread.
void ctl_watch_stop();
// Streams open now.
int ctl_watch_count();
