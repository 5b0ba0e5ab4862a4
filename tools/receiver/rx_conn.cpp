#include "tools/receiver/rx_conn.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "tools/receiver/rx_digest.h"
#include "tools/receiver/rx_log.h"

int RxOpenSocket(int type, const std::string &address, int port, int backlog, int *boundPort) {
    int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        RxLog("Cannot create a %s socket: %s", type == SOCK_STREAM ? "TCP" : "UDP",
              strerror(errno));
        return -1;
    }
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons((uint16_t)port);
    if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
        RxLog("Bind address \"%s\" is not an IPv4 address", address.c_str());
        close(fd);
        return -1;
    }
    if (bind(fd, (sockaddr *)&local, sizeof local) != 0 ||
        (type == SOCK_STREAM && listen(fd, backlog) != 0)) {
        RxLog("Cannot %s %s:%d: %s", type == SOCK_STREAM ? "listen on" : "bind to", address.c_str(),
              port, strerror(errno));
        close(fd);
        return -1;
    }
    socklen_t length = sizeof local;
    getsockname(fd, (sockaddr *)&local, &length);
    *boundPort = ntohs(local.sin_port);
    return fd;
}

void RxConnInit(RxConn *c, int fd, const sockaddr_in &peer, int localPort) {
    int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    c->fd = fd;
    c->peer = peer;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    c->peerText = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port)) + "->" +
                  std::to_string(localPort);
}

bool RxConnStaysSilent(RxConn *c, const std::string &silentAt, const HttpRequest &request,
                       bool recorded) {
    if (c->silent) return true;
    if (silentAt.empty()) return false;
    const std::string &m = request.method;
    bool match = silentAt == "stream.xml"   ? m == "GET" && request.uri == "/stream.xml"
                 : silentAt == "stream"     ? m == "POST" && request.uri == "/stream"
                 : silentAt == "keep-alive" ? m == "OPTIONS" && recorded
                                            : m == silentAt && !(m == "OPTIONS" && recorded);
    if (!match) return false;
    c->silent = true;
    RxLog("%s: %s %s left unanswered, as asked; the connection stays silent", c->peerText.c_str(),
          m.c_str(), request.uri.c_str());
    return true;
}

void RxConnSend(RxConn *c, const std::string &bytes) {
    c->out += bytes;
    while (!c->out.empty()) {
        ssize_t n = send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            RxLog("%s: send failed: %s", c->peerText.c_str(), strerror(errno));
            c->dead = true;
            return;
        }
        c->out.erase(0, (size_t)n);
    }
}

void RxConnRead(RxConn *c, const RxConnReader &reader, void *owner) {
    for (int round = 0; round < 16 && !c->dead; round++) {
        size_t old = c->in.size();
        c->in.resize(old + 65536);
        ssize_t n = recv(c->fd, c->in.data() + old, 65536, 0);
        if (n <= 0) {
            int error = n < 0 ? errno : 0;
            c->in.resize(old);
            if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) break;
            reader.ended(owner, c, error);
            c->dead = true;
            break;
        }
        c->in.resize(old + (size_t)n);
        if (c->closeWhenSent) {
            c->in.clear(); // the connection is being closed; what else comes is dropped
            continue;
        }
        reader.process(owner, c);
        if (c->out.size() > kRxConnMaxPendingOutput) {
            RxLog("%s: the peer does not read its responses (%zu bytes waiting); closing",
                  c->peerText.c_str(), c->out.size());
            c->dead = true;
        }
    }
}

HttpParseResult RxConnNextRequest(RxConn *c, size_t *position, const char *version,
                                  HttpRequest *request, std::string *error) {
    size_t consumed = 0;
    HttpParseResult result = HttpParseRequest(c->in.data() + *position, c->in.size() - *position,
                                              request, &consumed, error);
    if (result == kHttpBad) {
        RxConnSend(c, HttpBuildResponse(version, 400, "Bad Request", {}, ""));
        c->closeWhenSent = true;
    } else if (result == kHttpComplete) {
        *position += consumed;
    }
    return result;
}

void RxConnConsume(RxConn *c, size_t position) {
    c->in.erase(c->in.begin(), c->in.begin() + (ptrdiff_t)std::min(position, c->in.size()));
}

RequestRecord RxConnBeginRequest(RxConn *c, int localPort, const HttpRequest &request,
                                 ReceiverStats *s) {
    s->requestCount++;
    c->hadRequest = true;
    return RequestRecord{localPort, c->peerText, request.method, request.uri, 0, request.headers};
}

void RxConnKeepRequest(ReceiverStats *s, RequestRecord *record) {
    if (s->requests.size() < 64) s->requests.push_back(std::move(*record));
}

void RxConnRespond(RxConn *c, const HttpRequest &request, RequestRecord *record, int status,
                   const char *reason, const HttpHeaders &headers, const std::string &body) {
    record->status = status;
    RxConnSend(c, HttpBuildResponse(request.version, status, reason, headers, body));
    RxLog("%s: %s %s -> %d %s", c->peerText.c_str(), request.method.c_str(), request.uri.c_str(),
          status, reason);
}

bool RxConnAuthorize(RxConn *c, const HttpRequest &request, const std::string &password,
                     std::vector<std::string> *issuedNonces, ReceiverStats *s,
                     HttpHeaders *challenge) {
    if (password.empty() || c->authenticated) return true;
    std::string user;
    DigestVerdict verdict = DigestCheck(HttpFindHeader(request, "Authorization"), request.method,
                                        request.uri, password, *issuedNonces, &user);
    if (verdict == kDigestAccepted) {
        c->authenticated = true;
        s->authAccepted++;
        s->authResult = "accepted";
        s->authUser = user;
        RxLog("%s: Digest credentials of user \"%s\" accepted", c->peerText.c_str(), user.c_str());
        return true;
    }
    if (verdict != kDigestMissing) {
        s->authRefused++;
        s->authResult = "refused";
        s->authUser = user;
        s->lastAuthProblem = DigestVerdictName(verdict);
        RxLog("%s: Digest credentials refused: %s", c->peerText.c_str(),
              DigestVerdictName(verdict));
    }
    std::string nonce = DigestNewNonce();
    issuedNonces->push_back(nonce);
    if (issuedNonces->size() > 32) issuedNonces->erase(issuedNonces->begin());
    s->challenges++;
    *challenge = {{"WWW-Authenticate",
                   "Digest realm=\"" + std::string(kDigestRealm) + "\", nonce=\"" + nonce + "\""}};
    return false;
}
