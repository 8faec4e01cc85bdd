// Platform notifications: one HTTP/1.0 GET to the board's web service per event, each on
// its own detached thread. Fire and forget: no queue, no retry, no log of failures.
#pragma once

// The web service's endpoint on this board (port 80).
#define NOTIFY_URL "http://127.0.0.1/api/platform_notify"

// What a request can carry: a host of NOTIFY_HOST_MAX characters, and a request path of
// NOTIFY_PATH_MAX with its query. The query the daemon appends ("?event=...&...") stays
// within NOTIFY_QUERY_ROOM, so a configured path may take the rest.
inline constexpr unsigned NOTIFY_HOST_MAX = 127;
inline constexpr unsigned NOTIFY_PATH_MAX = 511;
inline constexpr unsigned NOTIFY_QUERY_ROOM = 128;

// Logs the endpoint; always 0. Sending does not depend on it.
int notify_init();

// Sends EVENT with PARAMS (already valid query text; null or empty for none) to
// NOTIFY_URL. Returns 0 once the request thread runs, -1 when it could not be started.
// Never blocks on the network; callable from any thread.
int notify_send(const char *event, const char *params);

// The body of one request thread: sends a GET for URL (malloc'd, owned and freed here)
// and ends, at the latest five seconds after it began. Exposed so that a URL with its own port can be exercised directly.
void *notify_request_thread(void *url);
