// What the receiver's HTTP and RTSP servers do alike with an accepted TCP connection:
// queueing output, reading input, parsing requests off it, answering them and checking
// Digest credentials.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/receiver/rx_http.h"
#include "tools/receiver/rx_report.h"

// A non-blocking socket bound to address:port (0: any free port), listening when type is
// SOCK_STREAM; the port it got goes to *boundPort. -1, logged, on failure.
int RxOpenSocket(int type, const std::string &address, int port, int backlog, int *boundPort);

// Beyond this many unsent bytes the peer is taken not to read its responses.
constexpr size_t kRxConnMaxPendingOutput = 4 << 20;

struct RxConn {
    int fd;
    sockaddr_in peer;
    std::string peerText; // "address:port->local port", for the log
    std::vector<uint8_t> in;
    std::string out;
    bool hadRequest;
    bool authenticated;
    bool closeWhenSent;
    bool dead;
    bool silent; // a request was left unanswered (--silent-at): so is everything after it
};

// Takes over an accepted socket: no Nagle delay, the peer's address for the log.
void RxConnInit(RxConn *c, int fd, const sockaddr_in &peer, int localPort);

// Queues bytes and sends as much as the socket takes; a send failure marks c dead.
void RxConnSend(RxConn *c, const std::string &bytes);

// What a server does with a connection's input; owner is the server.
struct RxConnReader {
    void (*process)(void *owner, RxConn *c); // c->in holds new bytes
    // The peer closed (error 0) or receiving failed; c->in holds what was left unparsed.
    void (*ended)(void *owner, RxConn *c, int error);
};

// Reads what is waiting, in bounded rounds so that one busy peer cannot starve the loop.
void RxConnRead(RxConn *c, const RxConnReader &reader, void *owner);

// Parses the request at *position of c->in and moves past it. kHttpBad has answered 400
// with version and set closeWhenSent; *error says why, for the caller's log.
HttpParseResult RxConnNextRequest(RxConn *c, size_t *position, const char *version,
                                  HttpRequest *request, std::string *error);
// True when request is the one a receiver started with --silent-at leaves unanswered
// (silentAt: stream.xml, stream, an RTSP method, or keep-alive for an OPTIONS after RECORD).
// The first time, c becomes silent and a line is logged; a silent connection answers nothing.
bool RxConnStaysSilent(RxConn *c, const std::string &silentAt, const HttpRequest &request,
                       bool recorded);
// Drops the first position bytes of c->in, once parsed.
void RxConnConsume(RxConn *c, size_t position);

// Counts a request and starts its record for the report.
RequestRecord RxConnBeginRequest(RxConn *c, int localPort, const HttpRequest &request,
                                 ReceiverStats *s);
// Keeps a finished record (the first 64 of them).
void RxConnKeepRequest(ReceiverStats *s, RequestRecord *record);

// Sends a response, notes its status in the record and logs it.
void RxConnRespond(RxConn *c, const HttpRequest &request, RequestRecord *record, int status,
                   const char *reason, const HttpHeaders &headers, const std::string &body);

// Checks the request's Digest credentials when a password is set, counting the verdict in s.
// False when the request needs (new) credentials: *challenge then holds the header the 401
// must carry, with a fresh nonce added to issuedNonces.
bool RxConnAuthorize(RxConn *c, const HttpRequest &request, const std::string &password,
                     std::vector<std::string> *issuedNonces, ReceiverStats *s,
                     HttpHeaders *challenge);
