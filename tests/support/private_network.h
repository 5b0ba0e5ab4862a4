// A private network namespace for tests that bind fixed ports or need a known routing table.
#pragma once

// Moves the calling thread (and the threads and processes it starts later) into a new,
// empty network namespace with loopback up. Returns false when that is not permitted.
bool EnterPrivateNetwork();
