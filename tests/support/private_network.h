// A private network namespace for tests that bind fixed ports or need a known routing table.
#pragma once

#include <string>

// Moves the calling thread (and the threads and processes it starts later) into a new,
// empty network namespace with loopback up. Returns false when that is not permitted.
bool EnterPrivateNetwork();

// The same for as long as it lives: on destruction the thread returns to the namespace it came
// from, and the private one goes away with its last user, so nothing is left behind even when
// a test fails half-way.
class PrivateNetwork {
  public:
    PrivateNetwork();
    ~PrivateNetwork();
    PrivateNetwork(const PrivateNetwork &) = delete;
    PrivateNetwork &operator=(const PrivateNetwork &) = delete;

    bool Ready() const { return entered_ && reason_.empty(); }
    // Why it is not ready.
    const std::string &Reason() const { return reason_; }
    // Adds an IPv4 address such as "10.77.0.1/24" to loopback.
    bool AddAddress(const std::string &cidr);

  private:
    int saved_ = -1;
    bool entered_ = false;
    std::string reason_;
};
