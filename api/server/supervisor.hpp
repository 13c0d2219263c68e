#pragma once
// The parent of `--workers N`: starts the worker processes, forwards SIGINT
// and SIGTERM to them, and keeps them running.

#include <functional>

namespace server {

// What a worker process runs: it calls `serving` once it accepts requests
// and returns its exit status.
using worker_main = std::function<int(const std::function<void()>& serving)>;

// Starts `workers` processes running `worker` and waits for them. A worker
// that dies after it began serving is started again at once, with a log line
// naming how it ended; one that keeps dying within seconds of its start is
// started again after a pause that doubles up to 30 s. A worker that fails
// before it serves (a setting every worker shares is wrong) stops the server.
// Returns 0 when the workers ended cleanly after a stop signal, else the
// first failure's status.
int supervise(int workers, const worker_main& worker);

}  // namespace server
