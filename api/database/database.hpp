#pragma once
// Database sessions for request handlers (`get_db`): asynchronous libpq
// connections from a pool, driven by the process's event loop.
//
// A session takes a connection from the pool at its first statement and
// begins a transaction there; `commit`, `rollback` and `close` end it.
// Results come back in binary form, so bytea arrives as raw bytes.

#include "database/pool.hpp"
#include "database/result.hpp"
#include "database/session.hpp"
