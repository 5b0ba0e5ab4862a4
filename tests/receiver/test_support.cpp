#include "tests/receiver/test_support.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <png.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "tests/support/wait.h"

extern "C" {
#include <x264.h>
}

static double Now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

bool ReceiverStart(ReceiverProcess *receiver, const std::vector<std::string> &arguments) {
    char pattern[] = "/tmp/ostrel-rx-test-XXXXXX";
    if (!mkdtemp(pattern)) return false;
    receiver->dir = pattern;
    std::vector<std::string> all = {RECEIVER_BINARY, "--bind", "127.0.0.1", "--http-port", "0",
                                    "--mirror-port", "0", "--audio-port", "0", "--port-file",
                                    receiver->dir + "/ports", "--report", receiver->ReportPath(),
                                    // Never the default timing port, which other tests may
                                    // serve; a test's own --ntp-port comes later and wins.
                                    "--ntp-port", std::to_string(FreeUdpPort())};
    for (std::string argument : arguments) {
        size_t at = argument.find("@DIR@");
        if (at != std::string::npos) argument.replace(at, 5, receiver->dir);
        all.push_back(argument);
    }
    receiver->pid = SpawnChild(all, {.err = receiver->LogPath()});
    if (receiver->pid < 0) return false;
    bool listening = false;
    WaitUntil(
        [&] {
            std::string ports = ReadFileText(receiver->dir + "/ports");
            listening = sscanf(ports.c_str(), "http %d\nmirror %d\naudio %d", &receiver->httpPort,
                               &receiver->mirrorPort, &receiver->audioPort) == 3;
            return listening || !ReceiverAlive(receiver);
        },
        10000);
    return listening;
}

bool ReceiverWaitForLog(ReceiverProcess *receiver, const std::string &text, int count,
                        double seconds) {
    return WaitUntil(
        [&] {
            std::string log = ReadFileText(receiver->LogPath());
            int found = 0;
            for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
                found++;
            return found >= count;
        },
        (int)(seconds * 1000));
}

// As a shell reports it: the exit code, or 128 and the signal that ended it.
static int ShellStatus(int waitStatus) {
    if (waitStatus == -1) return -1;
    return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

bool ReceiverAlive(ReceiverProcess *receiver) {
    return !ReceiverWaitExit(receiver, 0);
}

bool ReceiverWaitExit(ReceiverProcess *receiver, double seconds) {
    if (receiver->pid < 0) return true;
    int status;
    if (!WaitChild(receiver->pid, (int)(seconds * 1000), &status)) return false;
    receiver->exitStatus = ShellStatus(status);
    receiver->pid = -1;
    return true;
}

int ReceiverStop(ReceiverProcess *receiver, int signal) {
    if (receiver->pid < 0) return receiver->exitStatus;
    receiver->exitStatus = ShellStatus(EndChild(receiver->pid, signal, 10000));
    receiver->pid = -1;
    return receiver->exitStatus;
}

void ReceiverCleanup(ReceiverProcess *receiver, bool showLog) {
    if (showLog) {
        std::string log = ReadFileText(receiver->LogPath());
        if (log.size() > 8000) log = log.substr(log.size() - 8000);
        printf("--- receiver log ---\n%s\n", log.c_str());
    }
    ReceiverStop(receiver);
    if (!receiver->dir.empty() && receiver->dir.rfind("/tmp/ostrel-rx-test-", 0) == 0) {
        RunCommand("rm -rf '" + receiver->dir + "'");
    }
}

std::string SampleTrackDmap() {
    return std::string("mlit\0\0\0\x27"
                       "asal\0\0\0\0"
                       "asar\0\0\0\x06"
                       "Ostrel"
                       "minm\0\0\0\x09"
                       "OFFICE-PC",
                       47);
}

int FreeUdpPort() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int port = -1;
    if (fd >= 0 && bind(fd, (sockaddr *)&address, sizeof address) == 0) {
        socklen_t length = sizeof address;
        getsockname(fd, (sockaddr *)&address, &length);
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) close(fd);
    return port;
}

// --- JSON --------------------------------------------------------------------

static const Json kJsonNull;

const Json &Json::operator[](const std::string &key) const {
    auto found = members.find(key);
    return found == members.end() ? kJsonNull : found->second;
}

const Json &Json::operator[](size_t index) const {
    return index < items.size() ? items[index] : kJsonNull;
}

namespace {
struct JsonReader {
    const std::string &text;
    size_t position;
    int depth;
    void Skip() {
        while (position < text.size() && strchr(" \t\r\n", text[position]))
            position++;
    }
    bool Literal(const char *word) {
        size_t n = strlen(word);
        if (text.compare(position, n, word) != 0) return false;
        position += n;
        return true;
    }
    bool String(std::string *out) {
        if (position >= text.size() || text[position] != '"') return false;
        position++;
        while (position < text.size()) {
            char c = text[position++];
            if (c == '"') return true;
            if ((unsigned char)c < 0x20) return false;
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (position >= text.size()) return false;
            char e = text[position++];
            if (e == 'u') {
                if (position + 4 > text.size()) return false;
                unsigned code = strtoul(text.substr(position, 4).c_str(), nullptr, 16);
                position += 4;
                *out += code < 0x80 ? (char)code : '?';
            } else if (strchr("\"\\/", e)) {
                *out += e;
            } else if (e == 'n') {
                *out += '\n';
            } else if (e == 't') {
                *out += '\t';
            } else {
                return false;
            }
        }
        return false;
    }
    bool Value(Json *out) {
        if (++depth > 64) return false;
        Skip();
        if (position >= text.size()) return false;
        char c = text[position];
        bool ok = false;
        if (c == '{') {
            position++;
            out->kind = Json::kObject;
            Skip();
            if (position < text.size() && text[position] == '}') {
                position++;
                ok = true;
            } else {
                for (;;) {
                    Skip();
                    std::string key;
                    if (!String(&key)) break;
                    Skip();
                    if (position >= text.size() || text[position++] != ':') break;
                    if (!Value(&out->members[key])) break;
                    Skip();
                    if (position < text.size() && text[position] == ',') {
                        position++;
                        continue;
                    }
                    ok = position < text.size() && text[position++] == '}';
                    break;
                }
            }
        } else if (c == '[') {
            position++;
            out->kind = Json::kArray;
            Skip();
            if (position < text.size() && text[position] == ']') {
                position++;
                ok = true;
            } else {
                for (;;) {
                    out->items.emplace_back();
                    if (!Value(&out->items.back())) break;
                    Skip();
                    if (position < text.size() && text[position] == ',') {
                        position++;
                        continue;
                    }
                    ok = position < text.size() && text[position++] == ']';
                    break;
                }
            }
        } else if (c == '"') {
            out->kind = Json::kString;
            ok = String(&out->text);
        } else if (Literal("true")) {
            out->kind = Json::kBool;
            out->boolean = true;
            ok = true;
        } else if (Literal("false")) {
            out->kind = Json::kBool;
            ok = true;
        } else if (Literal("null")) {
            ok = true;
        } else {
            const char *start = text.c_str() + position;
            char *end = nullptr;
            out->number = strtod(start, &end);
            if (end != start) {
                out->kind = Json::kNumber;
                position += end - start;
                ok = true;
            }
        }
        depth--;
        return ok;
    }
};
} // namespace

bool JsonParse(const std::string &text, Json *out) {
    JsonReader reader{text, 0, 0};
    *out = Json();
    if (!reader.Value(out)) return false;
    reader.Skip();
    return reader.position == text.size();
}

// --- Sender side -----------------------------------------------------------------

bool EncodeTestStream(int width, int height, int count, TestStream *out,
                      const std::vector<uint8_t> &flat) {
    if (!flat.empty()) count = (int)flat.size();
    x264_param_t param;
    if (x264_param_default_preset(&param, "ultrafast", "zerolatency") < 0) return false;
    param.i_width = width;
    param.i_height = height;
    param.i_csp = X264_CSP_I420;
    param.i_fps_num = 30;
    param.i_fps_den = 1;
    param.i_threads = 1;
    param.b_annexb = 0;
    param.b_repeat_headers = 0;
    param.i_keyint_max = 15;
    param.i_log_level = X264_LOG_NONE;
    if (x264_param_apply_profile(&param, "high") < 0) return false;
    x264_t *encoder = x264_encoder_open(&param);
    if (!encoder) return false;
    x264_nal_t *nals;
    int nalCount;
    bool ok = x264_encoder_headers(encoder, &nals, &nalCount) > 0;
    std::vector<uint8_t> sps, pps;
    for (int i = 0; ok && i < nalCount; i++) {
        if (nals[i].i_type == NAL_SPS)
            sps.assign(nals[i].p_payload + 4, nals[i].p_payload + nals[i].i_payload);
        if (nals[i].i_type == NAL_PPS)
            pps.assign(nals[i].p_payload + 4, nals[i].p_payload + nals[i].i_payload);
    }
    ok = ok && sps.size() >= 4 && !pps.empty();
    if (ok) {
        out->avcc = {
            1, sps[1], sps[2], sps[3], 0xff, 0xe1, (uint8_t)(sps.size() >> 8), (uint8_t)sps.size()};
        out->avcc.insert(out->avcc.end(), sps.begin(), sps.end());
        out->avcc.push_back(1);
        out->avcc.push_back((uint8_t)(pps.size() >> 8));
        out->avcc.push_back((uint8_t)pps.size());
        out->avcc.insert(out->avcc.end(), pps.begin(), pps.end());
    }
    x264_picture_t picture, encoded;
    ok = ok && x264_picture_alloc(&picture, X264_CSP_I420, width, height) == 0;
    for (int n = 0; ok && n < count; n++) {
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++) {
                bool bar = x >= (n * 8) % width && x < (n * 8) % width + 16;
                picture.img.plane[0][y * picture.img.i_stride[0] + x] =
                    !flat.empty() ? flat[n]
                    : bar         ? 128
                                  : (y < height / 2 ? 81 : 41);
            }
        }
        for (int y = 0; y < height / 2; y++) {
            for (int x = 0; x < width / 2; x++) {
                bool upper = y < height / 4;
                picture.img.plane[1][y * picture.img.i_stride[1] + x] = !flat.empty() ? 128
                                                                        : upper       ? 90
                                                                                      : 240;
                picture.img.plane[2][y * picture.img.i_stride[2] + x] = !flat.empty() ? 128
                                                                        : upper       ? 240
                                                                                      : 110;
            }
        }
        picture.i_pts = n;
        int size = x264_encoder_encode(encoder, &nals, &nalCount, &picture, &encoded);
        if (size < 0) ok = false;
        if (size > 0) out->pictures.emplace_back(nals[0].p_payload, nals[0].p_payload + size);
    }
    while (ok && x264_encoder_delayed_frames(encoder) > 0) {
        int size = x264_encoder_encode(encoder, &nals, &nalCount, nullptr, &encoded);
        if (size < 0) ok = false;
        if (size > 0) out->pictures.emplace_back(nals[0].p_payload, nals[0].p_payload + size);
    }
    if (ok) x264_picture_clean(&picture);
    x264_encoder_close(encoder);
    return ok && (int)out->pictures.size() == count;
}

// A small binary property-list writer: 1-byte offsets and references.
namespace {
struct PlistWriter {
    std::vector<uint8_t> objects; // from offset 8
    std::vector<size_t> offsets;
    size_t Add(const std::vector<uint8_t> &bytes) {
        offsets.push_back(8 + objects.size());
        objects.insert(objects.end(), bytes.begin(), bytes.end());
        return offsets.size() - 1;
    }
    static std::vector<uint8_t> Ascii(const std::string &text) {
        std::vector<uint8_t> bytes = {(uint8_t)(0x50 | text.size())};
        bytes.insert(bytes.end(), text.begin(), text.end());
        return bytes;
    }
};
} // namespace

std::vector<uint8_t> BuildSetupPlist(const std::map<std::string, std::string> &overrides) {
    auto value = [&](const char *key, const char *standard) {
        auto found = overrides.find(key);
        return found == overrides.end() ? std::string(standard) : found->second;
    };
    const char *keys[] = {"latencyMs",     "deviceID",  "fpsInfo",
                          "timestampInfo", "sessionId", "version"};
    std::vector<std::string> fps = {"SubS", "B4En", "EnDp", "IdEn", "IdDp", "EQDp", "QueF", "Sent"};
    std::vector<std::string> stamps = {"SubSu", "BePxT", "AfPxT", "BeFEn",
                                       "EmEnc", "QueFr", "SndFr"};
    // Object numbering: 0 root, 1-6 keys, 7 latency, 8 device, 9 fps array, 10-17 fps strings,
    // 18 stamps array, 19-25 stamp strings, 26 session, 27 version.
    PlistWriter w;
    std::vector<uint8_t> root = {0xD6, 1, 2, 3, 4, 5, 6, 7, 8, 9, 18, 26, 27};
    w.Add(root);
    for (const char *key : keys)
        w.Add(PlistWriter::Ascii(key));
    w.Add(PlistWriter::Ascii(value("latencyMs", "90")));
    w.Add(PlistWriter::Ascii(value("deviceID", "0x60C54748E222")));
    std::vector<uint8_t> fpsArray = {(uint8_t)(0xA0 | fps.size())};
    for (int i = 0; i < 8; i++)
        fpsArray.push_back((uint8_t)(10 + i));
    w.Add(fpsArray);
    for (auto &text : fps)
        w.Add(PlistWriter::Ascii(text));
    std::vector<uint8_t> stampArray = {(uint8_t)(0xA0 | stamps.size())};
    for (int i = 0; i < 7; i++)
        stampArray.push_back((uint8_t)(19 + i));
    w.Add(stampArray);
    for (auto &text : stamps)
        w.Add(PlistWriter::Ascii(text));
    w.Add(PlistWriter::Ascii(value("sessionId", "691484636")));
    w.Add(PlistWriter::Ascii(value("version", "120.2")));
    std::vector<uint8_t> out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    out.insert(out.end(), w.objects.begin(), w.objects.end());
    size_t table = out.size();
    for (size_t offset : w.offsets)
        out.push_back((uint8_t)offset);
    uint8_t trailer[32] = {};
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = (uint8_t)w.offsets.size();
    trailer[31] = (uint8_t)table;
    trailer[30] = (uint8_t)(table >> 8);
    out.insert(out.end(), trailer, trailer + 32);
    return out;
}

static void PutLe32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}

static void PutLeFloat(uint8_t *p, float f) {
    uint32_t bits;
    memcpy(&bits, &f, 4);
    PutLe32(p, bits);
}

std::vector<uint8_t> BuildPacket(uint16_t type, const std::vector<uint8_t> &payload,
                                 uint64_t timestamp, const PacketGeometry &g) {
    std::vector<uint8_t> packet(128, 0);
    PutLe32(packet.data(), (uint32_t)payload.size());
    packet[4] = (uint8_t)type;
    packet[5] = (uint8_t)(type >> 8);
    packet[6] = 6;
    PutLe32(packet.data() + 8, (uint32_t)timestamp);
    PutLe32(packet.data() + 12, (uint32_t)(timestamp >> 32));
    if (type == 1) {
        PutLeFloat(packet.data() + 16, g.width);
        PutLeFloat(packet.data() + 20, g.height);
    }
    float fields[6] = {g.width, g.height, g.left, g.top, g.right, g.bottom};
    for (int i = 0; i < 6; i++)
        PutLeFloat(packet.data() + 40 + 4 * i, fields[i]);
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}

std::vector<uint8_t> BuildHeartbeat() {
    std::vector<uint8_t> packet(128, 0);
    packet[4] = 2;
    packet[6] = 30;
    return packet;
}

uint64_t StreamClockFixed(double offsetSeconds) {
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    double seconds = (double)(t.tv_sec - 1329095810) + t.tv_nsec / 1e9 + offsetSeconds;
    uint64_t whole = (uint64_t)seconds;
    return whole << 32 | (uint64_t)((seconds - (double)whole) * 4294967296.0);
}

int ConnectLocal(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (sockaddr *)&address, sizeof address) != 0) {
        close(fd);
        return -1;
    }
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    return fd;
}

bool SendAll(int fd, const void *data, size_t length) {
    const uint8_t *bytes = (const uint8_t *)data;
    while (length) {
        ssize_t n = send(fd, bytes, length, MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes += n;
        length -= (size_t)n;
    }
    return true;
}

bool ReadResponse(int fd, int *status, std::string *head, std::string *body) {
    std::string data;
    double deadline = Now() + 5;
    size_t headEnd = std::string::npos;
    size_t bodyLength = 0;
    while (Now() < deadline) {
        if (headEnd == std::string::npos) {
            headEnd = data.find("\r\n\r\n");
            if (headEnd != std::string::npos) {
                *head = data.substr(0, headEnd);
                if (sscanf(head->c_str(), "HTTP/1.1 %d", status) != 1 &&
                    sscanf(head->c_str(), "RTSP/1.0 %d", status) != 1)
                    return false;
                size_t at = head->find("Content-Length: ");
                if (at != std::string::npos)
                    bodyLength = strtoul(head->c_str() + at + 16, nullptr, 10);
            }
        }
        if (headEnd != std::string::npos && data.size() >= headEnd + 4 + bodyLength) {
            *body = data.substr(headEnd + 4, bodyLength);
            return true;
        }
        char buffer[4096];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        data.append(buffer, (size_t)n);
    }
    return false;
}

// The sender's opening exchange on the mirroring port; returns the connected socket.
int OpenStream(int port, const std::vector<uint8_t> &setup, const std::string &deviceId) {
    int fd = ConnectLocal(port);
    if (fd < 0) return -1;
    std::string get = "GET /stream.xml HTTP/1.1\r\nrmodel: PC1,1\r\nX-Apple-ProtocolVersion: 1\r\n"
                      "User-Agent: test-sender\r\nx-apple-device-id: " +
                      deviceId + "\r\nContent-Length: 0\r\n\r\n";
    int status = 0;
    std::string head, body;
    if (!SendAll(fd, get.data(), get.size()) || !ReadResponse(fd, &status, &head, &body) ||
        status != 200) {
        close(fd);
        return -1;
    }
    std::string post = "POST /stream HTTP/1.1\r\nContent-Type: application/octet-stream\r\n"
                       "User-Agent: test-sender\r\nx-apple-device-id: " +
                       deviceId + "\r\nContent-Length: " + std::to_string(setup.size()) +
                       "\r\n\r\n";
    if (!SendAll(fd, post.data(), post.size()) || !SendAll(fd, setup.data(), setup.size()) ||
        !ReadResponse(fd, &status, &head, &body) || status != 200) {
        close(fd);
        return -1;
    }
    return fd;
}

struct TimingServer {
    int fd;
    double shift;
    std::atomic<bool> stop;
    std::atomic<int> requests;
    std::atomic<int> wellFormed;
    std::thread thread;
};

static void PutBe64(uint8_t *p, uint64_t v) {
    for (int i = 7; i >= 0; i--, v >>= 8)
        p[i] = (uint8_t)v;
}

TimingServer *TimingServerStart(double shiftSeconds, int *port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, (sockaddr *)&address, sizeof address) != 0) return nullptr;
    socklen_t length = sizeof address;
    getsockname(fd, (sockaddr *)&address, &length);
    *port = ntohs(address.sin_port);
    TimingServer *server = new TimingServer();
    server->fd = fd;
    server->shift = shiftSeconds;
    server->thread = std::thread([server] {
        while (!server->stop) {
            pollfd p{server->fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            uint8_t request[64];
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            ssize_t n =
                recvfrom(server->fd, request, sizeof request, 0, (sockaddr *)&from, &fromLength);
            if (n <= 0) continue;
            server->requests++;
            if (n != 48 || (request[0] & 7) != 3 || ((request[0] >> 3) & 7) != 4) continue;
            server->wellFormed++;
            uint8_t reply[48] = {0x24, 1, 2, 0xE8};
            memcpy(reply + 12, "TEST", 4);
            memcpy(reply + 24, request + 40, 8);
            PutBe64(reply + 32, StreamClockFixed(server->shift));
            PutBe64(reply + 40, StreamClockFixed(server->shift));
            sendto(server->fd, reply, sizeof reply, 0, (sockaddr *)&from, fromLength);
        }
    });
    return server;
}

int TimingServerAnswered(TimingServer *server) {
    return server->wellFormed;
}

void TimingServerStop(TimingServer *server, int *requests, int *wellFormed) {
    server->stop = true;
    server->thread.join();
    close(server->fd);
    *requests = server->requests;
    *wellFormed = server->wellFormed;
    delete server;
}

bool ReadPng(const std::string &path, int *width, int *height, std::vector<uint8_t> *rgb) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    rgb->resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb->data(), 0, nullptr)) return false;
    *width = (int)image.width;
    *height = (int)image.height;
    return true;
}
