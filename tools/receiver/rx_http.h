// Minimal HTTP/1.1 and RTSP/1.0 request parsing and response building for the receiver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

typedef std::vector<std::pair<std::string, std::string>> HttpHeaders;

struct HttpRequest {
    std::string method;
    std::string uri;
    std::string version;
    HttpHeaders headers; // in arrival order, names as sent
    std::string body;
};

enum HttpParseResult { kHttpIncomplete, kHttpComplete, kHttpBad };

// Largest request head and body the receiver accepts.
constexpr size_t kHttpMaxHead = 16384;
constexpr size_t kHttpMaxBody = 8 << 20; // artwork of 1024x1024 pixels fits

// Parses one request from the start of data. kHttpComplete fills out and
// *consumed (head + body); kHttpBad fills *error with a reason for the log.
[[nodiscard]] HttpParseResult HttpParseRequest(const uint8_t *data, size_t length, HttpRequest *out,
                                               size_t *consumed, std::string *error);

// Header value by name, ignoring case; null when absent.
const std::string *HttpFindHeader(const HttpRequest &request, const char *name);

// A complete response with a Content-Length line.
std::string HttpBuildResponse(const std::string &version, int status, const char *reason,
                              const HttpHeaders &headers, const std::string &body);
