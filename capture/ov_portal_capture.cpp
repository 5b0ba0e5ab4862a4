// ScreenCast portal session (sd-bus) and its PipeWire stream (libpipewire-0.3).
#include "capture/ov_portal_capture.h"

#include "base/clock.h"
#include "base/log.h"
#include "capture/ov_pipewire_params.h"

#include <pipewire/pipewire.h>
#include <spa/param/param.h>
#include <systemd/sd-bus.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

constexpr const char *kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char *kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char *kScreenCast = "org.freedesktop.portal.ScreenCast";
// A method call or property read the portal answers at once; the wait also ends at a stop.
constexpr int kCallAnswerMs = 5 * 1000;
// Every wait on the bus wakes this often to see whether the run is being stopped.
constexpr int kStopCheckMs = 100;
// Session set-up answers at once; Start may wait for the user's choice in a dialog.
constexpr int kQuickAnswerMs = 10 * 1000;
constexpr int kUserAnswerMs = 120 * 1000;
// PipeWire has to offer a format this soon after the stream connects.
constexpr int kFormatWaitMs = 10 * 1000;
constexpr int kMaxStreams = 8;
// Frames lent at once: the scale stage reads from at most its two capture slots.
constexpr int kMaxLent = 4;

// A frame lent for reading in place. buffer and pixels are null once the stream took the
// buffer back; token stays until the frame is released (0: the entry is free).
struct LentFrame {
    uint64_t token;
    pw_buffer *buffer;
    const uint8_t *pixels;
    int32_t reading; // between PortalCaptureBeginRead and PortalCaptureRelease
};

} // namespace

struct PortalCapture {
    PortalCaptureOptions options;
    sd_bus *bus = nullptr;
    std::string sender;        // unique name without ':' and with '.' as '_'
    std::string sessionHandle; // object path of the session
    sd_bus_slot *closedSlot = nullptr;
    std::atomic<int> sessionClosed{0};
    uint32_t version = 0;
    PortalStream streams[kMaxStreams]{};
    int streamCount = 0;
    int streamIndex = 0;

    // The request being waited for.
    int requestDone = 0;
    uint32_t responseCode = 0;
    std::string responseSessionHandle;
    std::string restoreToken;
    int requestCounter = 0;

    // PipeWire side; the stream's callbacks run on the loop's thread.
    pw_thread_loop *loop = nullptr;
    pw_context *context = nullptr;
    pw_core *core = nullptr;
    pw_stream *stream = nullptr;
    pw_registry *registry = nullptr;
    uint32_t node = 0;
    spa_hook registryListener{};
    spa_hook coreListener{};
    spa_hook streamListener{};
    std::atomic<int> streamEnded{0}; // error, or disconnected after streaming
    std::atomic<int> streaming{0};
    std::string streamError; // under frameLock

    std::mutex frameLock;
    pw_buffer *held = nullptr; // newest frame; kept out of the queue until a newer arrives
    std::atomic<int32_t> formatWidth{0};
    std::atomic<int32_t> formatHeight{0};
    std::atomic<int32_t> formatRedFirst{0};
    std::atomic<int32_t> formatUsable{0};
    std::atomic<int32_t> formatKnown{0};
    uint64_t framesSeen = 0;  // under frameLock
    uint64_t framesTaken = 0; // under frameLock: framesSeen when last captured
    // Monotonic time the held frame arrived, and framesSeen when a capture last asked its
    // age; under frameLock.
    int64_t heldArrival = 0;
    uint64_t framesDated = 0;
    // The format held arrived in; under frameLock.
    int32_t heldWidth = 0;
    int32_t heldHeight = 0;
    int32_t heldRedFirst = 0;
    std::condition_variable frameCame; // with frameLock: a new frame, or the stream ended
    // Lent frames and the buffers a newer frame replaced while lent, which go back to the
    // stream with the next frame once no frame is lent from them: an input stream hands
    // one buffer back to the producer per frame, so one queued in between would only
    // wait for that frame in the stream's queue. Under frameLock; what stays retired at a
    // frame is lent, so kMaxLent entries hold them all.
    LentFrame lent[kMaxLent]{};
    uint64_t lastToken = 0;
    pw_buffer *retired[kMaxLent]{};
    std::condition_variable readEnded; // with frameLock: the read of a lent frame ended
    int32_t paddedLogged = 0;          // under frameLock: the padded-rows line was written
};

namespace {

// ---- D-Bus helpers ----

bool KeepGoing(const PortalCapture *p) {
    return !p->options.keepGoing || p->options.keepGoing(p->options.context);
}

std::string NextToken(PortalCapture *p, const char *what) {
    char token[64];
    snprintf(token, sizeof token, "ostrel%d_%s%d", (int)getpid(), what, ++p->requestCounter);
    return token;
}

std::string RequestPath(const PortalCapture *p, const std::string &token) {
    return "/org/freedesktop/portal/desktop/request/" + p->sender + "/" + token;
}

// Reads "streams" a(ua{sv}) from inside its variant.
int ReadStreams(sd_bus_message *m, PortalCapture *p) {
    int r = sd_bus_message_enter_container(m, 'a', "(ua{sv})");
    if (r < 0) return r;
    p->streamCount = 0;
    while ((r = sd_bus_message_enter_container(m, 'r', "ua{sv}")) > 0) {
        PortalStream s{};
        if ((r = sd_bus_message_read(m, "u", &s.node)) < 0) return r;
        if ((r = sd_bus_message_enter_container(m, 'a', "{sv}")) < 0) return r;
        while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
            const char *key = nullptr;
            if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
            if (!strcmp(key, "position") && sd_bus_message_enter_container(m, 'v', "(ii)") > 0) {
                r = sd_bus_message_read(m, "(ii)", &s.x, &s.y);
                sd_bus_message_exit_container(m);
            } else if (!strcmp(key, "size") && sd_bus_message_enter_container(m, 'v', "(ii)") > 0) {
                r = sd_bus_message_read(m, "(ii)", &s.width, &s.height);
                sd_bus_message_exit_container(m);
            } else if (!strcmp(key, "source_type") &&
                       sd_bus_message_enter_container(m, 'v', "u") > 0) {
                r = sd_bus_message_read(m, "u", &s.sourceType);
                sd_bus_message_exit_container(m);
            } else {
                r = sd_bus_message_skip(m, "v");
            }
            if (r < 0) return r;
            if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        }
        if (r < 0) return r;
        sd_bus_message_exit_container(m); // a{sv}
        sd_bus_message_exit_container(m); // (ua{sv})
        if (p->streamCount < kMaxStreams) p->streams[p->streamCount++] = s;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

int OnResponse(sd_bus_message *m, void *userdata, sd_bus_error *) {
    PortalCapture *p = static_cast<PortalCapture *>(userdata);
    uint32_t code = 2;
    if (sd_bus_message_read(m, "u", &code) < 0) code = 2;
    p->responseCode = code;
    p->requestDone = 1;
    if (code != 0) return 0;
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return 0;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char *key = nullptr;
        if (sd_bus_message_read(m, "s", &key) < 0) break;
        int r;
        if (!strcmp(key, "session_handle") && sd_bus_message_enter_container(m, 'v', "s") > 0) {
            const char *handle = nullptr;
            r = sd_bus_message_read(m, "s", &handle);
            if (r >= 0 && handle) p->responseSessionHandle = handle;
            sd_bus_message_exit_container(m);
        } else if (!strcmp(key, "restore_token") &&
                   sd_bus_message_enter_container(m, 'v', "s") > 0) {
            const char *token = nullptr;
            r = sd_bus_message_read(m, "s", &token);
            if (r >= 0 && token) p->restoreToken = token;
            sd_bus_message_exit_container(m);
        } else if (!strcmp(key, "streams") &&
                   sd_bus_message_enter_container(m, 'v', "a(ua{sv})") > 0) {
            r = ReadStreams(m, p);
            sd_bus_message_exit_container(m);
        } else {
            r = sd_bus_message_skip(m, "v");
        }
        if (r < 0) break;
        sd_bus_message_exit_container(m);
    }
    return 0;
}

int OnSessionClosed(sd_bus_message *, void *userdata, sd_bus_error *) {
    static_cast<PortalCapture *>(userdata)->sessionClosed.store(1);
    return 0;
}

// Dispatches what has arrived, then waits up to waitMs for more.
void PumpBus(PortalCapture *p, int waitMs) {
    while (sd_bus_process(p->bus, nullptr) > 0) {
    }
    if (waitMs > 0) (void)sd_bus_wait(p->bus, (uint64_t)waitMs * 1000);
    while (sd_bus_process(p->bus, nullptr) > 0) {
    }
}

// The answer to one method call, filled in by OnCallAnswer.
struct CallAnswer {
    int done;
    sd_bus_message *reply; // held; null when the answer was an error
    std::string error;
};

int OnCallAnswer(sd_bus_message *m, void *userdata, sd_bus_error *) {
    CallAnswer *answer = static_cast<CallAnswer *>(userdata);
    answer->done = 1;
    if (const sd_bus_error *e = sd_bus_message_get_error(m)) {
        answer->error = e->message ? e->message : e->name ? e->name : "error";
    } else {
        answer->reply = sd_bus_message_ref(m);
    }
    return 0;
}

// Sends call and waits for its answer: at most answerMs, and no longer than
// kStopCheckMs once the run is being stopped (the library's own call would block for
// its full time limit). Returns the reply for the caller to unref, or null with reason
// saying why (what names the call).
sd_bus_message *CallPortal(PortalCapture *p, sd_bus_message *call, int answerMs, const char *what,
                           std::string *reason) {
    CallAnswer answer{0, nullptr, std::string()};
    sd_bus_slot *slot = nullptr;
    int r = sd_bus_call_async(p->bus, &slot, call, OnCallAnswer, &answer,
                              (uint64_t)answerMs * 1000);
    if (r < 0) {
        *reason = std::string("the portal's ") + what + " could not be sent: " + strerror(-r);
        return nullptr;
    }
    int64_t deadline = MonotonicNanos() + (int64_t)answerMs * 1000000;
    while (!answer.done && MonotonicNanos() < deadline && KeepGoing(p))
        PumpBus(p, kStopCheckMs);
    // Unanswered: dropping the slot forgets the call, so a late answer finds no one.
    sd_bus_slot_unref(slot);
    if (answer.reply) return answer.reply;
    if (answer.done) {
        *reason = std::string("the portal's ") + what + " failed: " + answer.error;
    } else if (!KeepGoing(p)) {
        *reason = std::string("stopped while waiting for the portal's ") + what;
    } else {
        *reason = std::string("no answer from the portal's ") + what + " within " +
                  std::to_string(answerMs / 1000) + " s";
    }
    return nullptr;
}

// Reads a "u" property of the ScreenCast interface, bounded as CallPortal is.
int ReadPortalProperty(PortalCapture *p, const char *name, uint32_t *value, std::string *reason) {
    sd_bus_message *call = nullptr;
    int r = sd_bus_message_new_method_call(p->bus, &call, kPortalName, kPortalPath,
                                           "org.freedesktop.DBus.Properties", "Get");
    if (r >= 0) r = sd_bus_message_append(call, "ss", kScreenCast, name);
    if (r < 0) {
        sd_bus_message_unref(call);
        *reason = std::string("could not ask for the portal's ") + name + ": " + strerror(-r);
        return r;
    }
    std::string what = std::string(name) + " property";
    sd_bus_message *reply = CallPortal(p, call, kCallAnswerMs, what.c_str(), reason);
    sd_bus_message_unref(call);
    if (!reply) return -1;
    r = sd_bus_message_read(reply, "v", "u", value);
    sd_bus_message_unref(reply);
    if (r < 0) *reason = std::string("the portal's ") + name + " is not a number";
    return r;
}

// One portal request: subscribes to its Response before calling, calls, then waits for
// the answer. Returns the response code (0 granted, 1 cancelled, 2 other), or -1 when
// the call failed or no answer came in time (reason set).
typedef int (*AppendOptionsFn)(sd_bus_message *m, PortalCapture *p, const char *token);

int PortalRequest(PortalCapture *p, const char *method, const char *sessionPath,
                  const char *parentWindow, AppendOptionsFn appendOptions, int answerMs,
                  std::string *reason) {
    std::string token = NextToken(p, method);
    std::string path = RequestPath(p, token);
    sd_bus_slot *slot = nullptr;
    p->requestDone = 0;
    p->responseCode = 2;
    int r = sd_bus_match_signal(p->bus, &slot, nullptr, path.c_str(),
                                "org.freedesktop.portal.Request", "Response", OnResponse, p);
    if (r < 0) {
        *reason = std::string("could not subscribe to the portal's answer: ") + strerror(-r);
        return -1;
    }
    sd_bus_message *call = nullptr;
    sd_bus_message *reply = nullptr;
    r = sd_bus_message_new_method_call(p->bus, &call, kPortalName, kPortalPath, kScreenCast,
                                       method);
    if (r >= 0 && sessionPath) r = sd_bus_message_append(call, "o", sessionPath);
    if (r >= 0 && parentWindow) r = sd_bus_message_append(call, "s", parentWindow);
    if (r >= 0) r = sd_bus_message_open_container(call, 'a', "{sv}");
    if (r >= 0) r = sd_bus_message_append(call, "{sv}", "handle_token", "s", token.c_str());
    if (r >= 0 && appendOptions) r = appendOptions(call, p, token.c_str());
    if (r >= 0) r = sd_bus_message_close_container(call);
    if (r < 0) {
        *reason = std::string("could not make the portal's ") + method + ": " + strerror(-r);
    } else {
        reply = CallPortal(p, call, kCallAnswerMs, method, reason);
    }
    int result = -1;
    if (reply) {
        int64_t deadline = MonotonicNanos() + (int64_t)answerMs * 1000000;
        while (!p->requestDone && MonotonicNanos() < deadline && KeepGoing(p))
            PumpBus(p, kStopCheckMs);
        if (p->requestDone) {
            result = (int)p->responseCode;
        } else if (!KeepGoing(p)) {
            *reason = std::string("stopped while waiting for the portal's ") + method;
        } else {
            *reason = std::string("no answer from the portal's ") + method + " within " +
                      std::to_string(answerMs / 1000) + " s";
        }
    }
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    sd_bus_slot_unref(slot);
    return result;
}

int AppendCreateSession(sd_bus_message *m, PortalCapture *p, const char *) {
    std::string token = NextToken(p, "session");
    return sd_bus_message_append(m, "{sv}", "session_handle_token", "s", token.c_str());
}

// The restore token offered with SelectSources (empty: ask).
thread_local std::string offeredToken;

int AppendSelectSources(sd_bus_message *m, PortalCapture *p, const char *) {
    int r = sd_bus_message_append(m, "{sv}", "types", "u", p->options.sourceType);
    if (r >= 0) r = sd_bus_message_append(m, "{sv}", "multiple", "b", 0);
    if (r >= 0) r = sd_bus_message_append(m, "{sv}", "cursor_mode", "u", p->options.cursorMode);
    if (p->version >= 4) {
        // Remembered until revoked: later runs, hosted ones included, ask no one.
        if (r >= 0) r = sd_bus_message_append(m, "{sv}", "persist_mode", "u", 2u);
        if (r >= 0 && !offeredToken.empty())
            r = sd_bus_message_append(m, "{sv}", "restore_token", "s", offeredToken.c_str());
    }
    return r;
}

const char *ResponseText(int code) {
    return code == 1 ? "cancelled" : code == 2 ? "refused (ended another way)" : "unknown";
}

std::string ReadTokenFile(const std::string &path) {
    if (path.empty()) return {};
    FILE *f = fopen(path.c_str(), "r");
    if (!f) return {};
    char text[512];
    size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = 0;
    std::string token(text);
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' '))
        token.pop_back();
    // A token is a short printable word; anything else is not offered to the portal.
    for (char c : token)
        if (c <= ' ' || c > '~') return {};
    return token;
}

void WriteTokenFile(const std::string &path, const std::string &token) {
    if (path.empty()) return;
    std::string temporary = path + ".new";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        DebugLog(2, "Portal: could not keep the restore token in %s: %s\n", path.c_str(),
                 strerror(errno));
        return;
    }
    std::string line = token + "\n";
    bool ok = write(fd, line.data(), line.size()) == (ssize_t)line.size();
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
        DebugLog(2, "Portal: could not keep the restore token in %s\n", path.c_str());
        unlink(temporary.c_str());
    }
}

// Asks the portal to close the session without waiting for its answer: a stop must not
// wait on a portal that has stopped answering. The message leaves with the next call, or
// with the flush when the bus is closed.
void CloseSession(PortalCapture *p) {
    if (p->sessionHandle.empty() || !p->bus) return;
    sd_bus_message *call = nullptr;
    int r = sd_bus_message_new_method_call(p->bus, &call, kPortalName, p->sessionHandle.c_str(),
                                           "org.freedesktop.portal.Session", "Close");
    if (r >= 0) r = sd_bus_message_set_expect_reply(call, 0);
    if (r >= 0) r = sd_bus_send(p->bus, call, nullptr);
    if (r < 0) DebugLog(2, "Portal: could not close the session: %s\n", strerror(-r));
    sd_bus_message_unref(call);
    p->sessionHandle.clear();
}

// One session from CreateSession to Start. Returns the Start response code, or -1.
int RunSessionRequests(PortalCapture *p, std::string *reason) {
    // A second session (after a refused kept permission) starts clean: the first one's
    // Closed signal, handle, token and streams say nothing about it.
    sd_bus_slot_unref(p->closedSlot);
    p->closedSlot = nullptr;
    p->sessionClosed.store(0);
    p->responseSessionHandle.clear();
    p->restoreToken.clear();
    p->streamCount = 0;
    int code = PortalRequest(p, "CreateSession", nullptr, nullptr, AppendCreateSession,
                             kQuickAnswerMs, reason);
    if (code != 0) {
        if (code > 0) *reason = std::string("CreateSession ") + ResponseText(code);
        return code;
    }
    if (p->responseSessionHandle.empty()) {
        *reason = "CreateSession gave no session";
        return -1;
    }
    p->sessionHandle = p->responseSessionHandle;
    sd_bus_slot_unref(p->closedSlot);
    p->closedSlot = nullptr;
    (void)sd_bus_match_signal(p->bus, &p->closedSlot, nullptr, p->sessionHandle.c_str(),
                              "org.freedesktop.portal.Session", "Closed", OnSessionClosed, p);
    code = PortalRequest(p, "SelectSources", p->sessionHandle.c_str(), nullptr, AppendSelectSources,
                         kQuickAnswerMs, reason);
    if (code != 0) {
        if (code > 0) *reason = std::string("SelectSources ") + ResponseText(code);
        return code;
    }
    p->restoreToken.clear();
    p->streamCount = 0;
    code = PortalRequest(p, "Start", p->sessionHandle.c_str(), "", nullptr, kUserAnswerMs, reason);
    if (code > 0) *reason = std::string("Start ") + ResponseText(code);
    if (code == 0 && p->streamCount == 0) {
        *reason = "Start granted no stream";
        return -1;
    }
    return code;
}

// ---- PipeWire ----

void OnCoreError(void *data, uint32_t id, int, int res, const char *message) {
    PortalCapture *p = static_cast<PortalCapture *>(data);
    if (id != PW_ID_CORE) return;
    {
        std::lock_guard<std::mutex> hold(p->frameLock);
        p->streamError =
            std::string("PipeWire connection error: ") + (message ? message : strerror(-res));
        p->streamEnded.store(1);
    }
    p->frameCame.notify_all();
    pw_thread_loop_signal(p->loop, false);
}

const pw_core_events kCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = OnCoreError;
    return events;
}();

// The node the portal handed over went away: its producer (the portal backend, or the
// compositor behind it) is gone, and the stream will never deliver again.
void OnGlobalRemove(void *data, uint32_t id) {
    PortalCapture *p = static_cast<PortalCapture *>(data);
    if (id != p->node) return;
    {
        std::lock_guard<std::mutex> hold(p->frameLock);
        if (p->streamError.empty()) p->streamError = "the screen-cast node went away";
        p->streamEnded.store(1);
    }
    p->frameCame.notify_all();
    pw_thread_loop_signal(p->loop, false);
}

const pw_registry_events kRegistryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global_remove = OnGlobalRemove;
    return events;
}();

void OnStreamState(void *data, pw_stream_state, pw_stream_state state, const char *error) {
    PortalCapture *p = static_cast<PortalCapture *>(data);
    if (state == PW_STREAM_STATE_STREAMING) p->streaming.store(1);
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
        {
            std::lock_guard<std::mutex> hold(p->frameLock);
            if (p->streamError.empty())
                p->streamError = state == PW_STREAM_STATE_ERROR
                                     ? std::string("stream error: ") + (error ? error : "?")
                                     : "the stream was disconnected";
            p->streamEnded.store(1);
        }
        p->frameCame.notify_all();
    }
    pw_thread_loop_signal(p->loop, false);
}

void OnStreamParam(void *data, uint32_t id, const spa_pod *param) {
    PortalCapture *p = static_cast<PortalCapture *>(data);
    if (id != SPA_PARAM_Format || !param) return;
    OvPipeWireFormat format{};
    if (!OvPipeWireParseFormat(param, &format)) return;
    p->formatWidth.store((int32_t)format.width);
    p->formatHeight.store((int32_t)format.height);
    p->formatRedFirst.store(format.redFirst);
    p->formatUsable.store(format.usable);
    p->formatKnown.store(1);
    uint8_t buffer[256];
    const spa_pod *params[1] = {OvPipeWireBuffersParam(buffer, sizeof buffer)};
    pw_stream_update_params(p->stream, params, params[0] ? 1 : 0);
    pw_thread_loop_signal(p->loop, false);
}

bool BufferHasPicture(const pw_buffer *b) {
    const spa_buffer *buffer = b->buffer;
    if (!buffer || buffer->n_datas < 1 || !buffer->datas[0].data || !buffer->datas[0].chunk)
        return false;
    // A corrupted buffer is one the producer marks as not holding a picture.
    return (buffer->datas[0].chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) == 0 &&
           buffer->datas[0].chunk->size > 0;
}

// The first row of b's picture when it holds width x height pixels within its memory;
// *stride gets the bytes per row. Null for a buffer smaller than that.
const uint8_t *FramePixels(const pw_buffer *b, int32_t width, int32_t height, int32_t *stride) {
    const spa_data &d = b->buffer->datas[0];
    *stride = d.chunk->stride > 0 ? d.chunk->stride : width * 4;
    uint64_t offset = d.chunk->offset % (d.maxsize ? d.maxsize : 1);
    uint64_t available = d.maxsize > offset ? d.maxsize - offset : 0;
    if (width <= 0 || height <= 0 || *stride < width * 4 ||
        (uint64_t)*stride * (height - 1) + (uint64_t)width * 4 > available)
        return nullptr;
    return static_cast<const uint8_t *>(d.data) + offset;
}

// Under frameLock.
bool IsLent(const PortalCapture *p, const pw_buffer *b) {
    if (!b) return false;
    for (const LentFrame &l : p->lent)
        if (l.token && l.buffer == b) return true;
    return false;
}

bool ReadingFrom(const PortalCapture *p, const pw_buffer *b) {
    for (const LentFrame &l : p->lent)
        if (l.token && l.reading && (!b || l.buffer == b)) return true;
    return false;
}

LentFrame *FindLent(PortalCapture *p, uint64_t token) {
    for (LentFrame &l : p->lent)
        if (token && l.token == token) return &l;
    return nullptr;
}

// Takes b out of every lent frame, once no read is in progress: its memory is about to go
// (the stream's buffers change, or the stream closes). Null: every buffer. Loop thread,
// or with the loop stopped.
void ForgetBuffer(PortalCapture *p, const pw_buffer *b) {
    std::unique_lock<std::mutex> hold(p->frameLock);
    // A read holds no lock the loop needs, so it ends within one scaling of a frame.
    p->readEnded.wait(hold, [&] { return !ReadingFrom(p, b); });
    for (LentFrame &l : p->lent) {
        if (!b || l.buffer == b) {
            l.buffer = nullptr;
            l.pixels = nullptr;
        }
    }
    for (pw_buffer *&r : p->retired)
        if (!b || r == b) r = nullptr;
    if (!b || p->held == b) p->held = nullptr;
}

// Under frameLock: moves the retired buffers no frame is lent from any more into back
// (kMaxLent + 1 entries), to be queued once the lock is let go. Returns how many.
int TakeReturnable(PortalCapture *p, pw_buffer **back) {
    int count = 0;
    for (pw_buffer *&r : p->retired) {
        if (r && !IsLent(p, r)) {
            back[count++] = r;
            r = nullptr;
        }
    }
    return count;
}

void OnStreamProcess(void *data) {
    PortalCapture *p = static_cast<PortalCapture *>(data);
    // Only the newest buffer matters: older ones go back at once.
    pw_buffer *newest = nullptr;
    while (pw_buffer *b = pw_stream_dequeue_buffer(p->stream)) {
        if (newest) pw_stream_queue_buffer(p->stream, newest);
        newest = b;
    }
    if (!newest) return;
    if (!BufferHasPicture(newest)) {
        pw_stream_queue_buffer(p->stream, newest);
        return;
    }
    pw_buffer *back[kMaxLent + 1];
    int count;
    {
        std::lock_guard<std::mutex> hold(p->frameLock);
        // What is still retired is lent, so the one retired below has room.
        count = TakeReturnable(p, back);
        pw_buffer *previous = p->held;
        p->held = newest;
        p->heldWidth = p->formatWidth.load();
        p->heldHeight = p->formatHeight.load();
        p->heldRedFirst = p->formatRedFirst.load();
        p->heldArrival = MonotonicNanos();
        p->framesSeen++;
        if (IsLent(p, previous)) {
            // Being read, or waiting to be: it goes back once released.
            for (pw_buffer *&r : p->retired) {
                if (!r) {
                    r = previous;
                    break;
                }
            }
        } else if (previous) {
            back[count++] = previous;
        }
    }
    p->frameCame.notify_all();
    for (int i = 0; i < count; i++)
        pw_stream_queue_buffer(p->stream, back[i]);
}

void OnRemoveBuffer(void *data, pw_buffer *b) {
    ForgetBuffer(static_cast<PortalCapture *>(data), b);
}

const pw_stream_events kStreamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = OnStreamState;
    events.param_changed = OnStreamParam;
    events.remove_buffer = OnRemoveBuffer;
    events.process = OnStreamProcess;
    return events;
}();

void PipeWireInitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

bool ConnectStream(PortalCapture *p, int fd, uint32_t node, std::string *reason) {
    PipeWireInitOnce();
    p->loop = pw_thread_loop_new("portal capture", nullptr);
    if (!p->loop) {
        close(fd);
        *reason = "could not make the PipeWire loop";
        return false;
    }
    p->context = pw_context_new(pw_thread_loop_get_loop(p->loop), nullptr, 0);
    if (!p->context || pw_thread_loop_start(p->loop) < 0) {
        close(fd);
        *reason = "could not start the PipeWire loop";
        return false;
    }
    pw_thread_loop_lock(p->loop);
    p->core = pw_context_connect_fd(p->context, fd, nullptr, 0); // takes the descriptor
    bool ok = p->core != nullptr;
    if (!ok) {
        *reason =
            std::string("could not connect to the portal's PipeWire remote: ") + strerror(errno);
    } else {
        pw_core_add_listener(p->core, &p->coreListener, &kCoreEvents, p);
        p->node = node;
        p->registry = pw_core_get_registry(p->core, PW_VERSION_REGISTRY, 0);
        if (p->registry)
            pw_registry_add_listener(p->registry, &p->registryListener, &kRegistryEvents, p);
        p->stream =
            pw_stream_new(p->core, "Ostrel screen",
                          pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                            "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
        ok = p->stream != nullptr;
        if (!ok) *reason = "could not make the PipeWire stream";
    }
    if (ok) {
        pw_stream_add_listener(p->stream, &p->streamListener, &kStreamEvents, p);
        uint8_t buffer[1024];
        const spa_pod *params[1] = {OvPipeWireFormatParam(buffer, sizeof buffer)};
        int r = pw_stream_connect(
            p->stream, PW_DIRECTION_INPUT, node,
            (pw_stream_flags)(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
        ok = r >= 0;
        if (!ok) *reason = std::string("could not connect the PipeWire stream: ") + strerror(-r);
    }
    pw_thread_loop_unlock(p->loop);
    if (!ok) return false;

    // The format decides the capture size; wait for it (bounded, and not past a stop).
    int64_t deadline = MonotonicNanos() + (int64_t)kFormatWaitMs * 1000000;
    while (!p->formatKnown.load() && !p->streamEnded.load() && KeepGoing(p) &&
           MonotonicNanos() < deadline) {
        SleepMillis(10);
    }
    if (p->streamEnded.load()) {
        std::lock_guard<std::mutex> hold(p->frameLock);
        *reason = p->streamError;
        return false;
    }
    if (!p->formatKnown.load()) {
        *reason = KeepGoing(p) ? "PipeWire offered no format within 10 s"
                               : "stopped while waiting for the stream's format";
        return false;
    }
    if (!p->formatUsable.load()) {
        *reason = "the stream's pixel format is none of BGRx, BGRA, RGBx, RGBA";
        return false;
    }
    return true;
}

void DisconnectStream(PortalCapture *p) {
    if (p->loop) pw_thread_loop_lock(p->loop);
    // No lent frame is read past here (every one is released before the close anyway).
    ForgetBuffer(p, nullptr);
    if (p->stream) {
        spa_hook_remove(&p->streamListener);
        pw_stream_disconnect(p->stream);
        pw_stream_destroy(p->stream);
        p->stream = nullptr;
    }
    if (p->registry) {
        spa_hook_remove(&p->registryListener);
        pw_proxy_destroy((pw_proxy *)p->registry);
        p->registry = nullptr;
    }
    if (p->core) {
        spa_hook_remove(&p->coreListener);
        pw_core_disconnect(p->core);
        p->core = nullptr;
    }
    if (p->loop) pw_thread_loop_unlock(p->loop);
    if (p->loop) pw_thread_loop_stop(p->loop);
    if (p->context) pw_context_destroy(p->context);
    p->context = nullptr;
    if (p->loop) pw_thread_loop_destroy(p->loop);
    p->loop = nullptr;
    p->held = nullptr;
}

uint32_t PickCursorMode(uint32_t wanted, uint32_t available) {
    if (available & wanted) return wanted;
    // Hidden wanted but not offered: embedded is the only way to get a picture at all;
    // embedded wanted but not offered: hidden (or metadata) without a drawn pointer.
    if (available & kPortalCursorHidden) return kPortalCursorHidden;
    if (available & kPortalCursorEmbedded) return kPortalCursorEmbedded;
    return wanted;
}

} // namespace

PortalCapture *PortalCaptureOpen(const PortalCaptureOptions *options, std::string *reason) {
    PortalCapture *p = new PortalCapture();
    p->options = *options;
    std::string why;
    int r = sd_bus_open_user(&p->bus);
    if (r < 0) {
        why = std::string("no session bus: ") + strerror(-r);
    } else {
        const char *unique = nullptr;
        if (sd_bus_get_unique_name(p->bus, &unique) >= 0 && unique) {
            p->sender = unique[0] == ':' ? unique + 1 : unique;
            for (char &c : p->sender)
                if (c == '.') c = '_';
        }
        std::string failure;
        if (ReadPortalProperty(p, "version", &p->version, &failure) < 0)
            why = KeepGoing(p) ? "no ScreenCast portal on the session bus: " + failure : failure;
    }
    if (why.empty()) {
        uint32_t cursorModes = 0, sourceTypes = 0;
        std::string ignored;
        (void)ReadPortalProperty(p, "AvailableCursorModes", &cursorModes, &ignored);
        if (KeepGoing(p))
            (void)ReadPortalProperty(p, "AvailableSourceTypes", &sourceTypes, &ignored);
        p->options.cursorMode = PickCursorMode(options->cursorMode, cursorModes);
        if (!(sourceTypes & p->options.sourceType)) p->options.sourceType = kPortalSourceMonitor;
        DebugLog(2,
                 "Portal: ScreenCast version %u, source types 0x%x, cursor modes 0x%x; asking "
                 "for source type %u, cursor mode %u\n",
                 p->version, sourceTypes, cursorModes, p->options.sourceType,
                 p->options.cursorMode);

        offeredToken = ReadTokenFile(p->options.tokenPath);
        int code = RunSessionRequests(p, &why);
        if ((code == 2 || code < 0) && !offeredToken.empty() && KeepGoing(p)) {
            // A token the portal no longer honours: forget it and ask again. A dialog the
            // user cancelled (1) stays cancelled.
            DebugLog(2, "Portal: the kept permission was not accepted (%s); asking again\n",
                     why.c_str());
            CloseSession(p);
            offeredToken.clear();
            why.clear();
            code = RunSessionRequests(p, &why);
        }
        DebugLog(2, "Portal: session %s, %s\n", p->sessionHandle.c_str(),
                 code == 0 ? (offeredToken.empty() ? "granted" : "granted with the kept permission")
                           : "not granted");
        offeredToken.clear();
        if (code == 0) {
            if (!p->restoreToken.empty()) WriteTokenFile(p->options.tokenPath, p->restoreToken);
            for (int i = 0; i < p->streamCount; i++) {
                const PortalStream &s = p->streams[i];
                DebugLog(2, "Portal: stream %i node %u at %i, %i size %ix%i source type %u\n", i,
                         s.node, s.x, s.y, s.width, s.height, s.sourceType);
            }
            p->streamIndex = options->streamIndex >= 0 && options->streamIndex < p->streamCount
                                 ? options->streamIndex
                                 : 0;
            sd_bus_message *reply = nullptr;
            sd_bus_message *call = nullptr;
            int fd = -1;
            r = sd_bus_message_new_method_call(p->bus, &call, kPortalName, kPortalPath, kScreenCast,
                                               "OpenPipeWireRemote");
            if (r >= 0) r = sd_bus_message_append(call, "o", p->sessionHandle.c_str());
            if (r >= 0) r = sd_bus_message_open_container(call, 'a', "{sv}");
            if (r >= 0) r = sd_bus_message_close_container(call);
            if (r < 0) {
                why = std::string("could not make OpenPipeWireRemote: ") + strerror(-r);
            } else if ((reply = CallPortal(p, call, kCallAnswerMs, "OpenPipeWireRemote", &why))) {
                int borrowed = -1;
                r = sd_bus_message_read(reply, "h", &borrowed);
                if (r >= 0) fd = fcntl(borrowed, F_DUPFD_CLOEXEC, 3);
                if (fd < 0)
                    why = std::string("OpenPipeWireRemote gave no descriptor: ") +
                          strerror(r < 0 ? -r : errno);
            }
            sd_bus_message_unref(reply);
            sd_bus_message_unref(call);
            if (fd >= 0 && !ConnectStream(p, fd, p->streams[p->streamIndex].node, &why)) {
                if (why.empty()) why = "the PipeWire stream could not be opened";
            }
        }
    }
    if (!why.empty()) {
        DebugLog(2, "Portal capture failed: %s\n", why.c_str());
        if (reason) *reason = why;
        PortalCaptureClose(p);
        return nullptr;
    }
    DebugLog(2, "Portal: PipeWire stream connected, %ix%i %s\n", p->formatWidth.load(),
             p->formatHeight.load(), p->formatRedFirst.load() ? "RGBx" : "BGRx");
    return p;
}

void PortalCaptureClose(PortalCapture *capture) {
    if (!capture) return;
    DisconnectStream(capture);
    if (capture->framesSeen)
        DebugLog(2, "Portal: %llu frames came from the stream\n",
                 (unsigned long long)capture->framesSeen);
    CloseSession(capture);
    sd_bus_slot_unref(capture->closedSlot);
    capture->closedSlot = nullptr;
    if (capture->bus) sd_bus_flush_close_unref(capture->bus);
    delete capture;
}

int PortalCapturePoll(PortalCapture *capture, std::string *reason) {
    PumpBus(capture, 0);
    if (capture->sessionClosed.load()) {
        if (reason) *reason = "the portal closed the screen-cast session";
        return 0;
    }
    if (capture->streamEnded.load()) {
        std::lock_guard<std::mutex> hold(capture->frameLock);
        if (reason) *reason = "the PipeWire stream ended (" + capture->streamError + ")";
        return 0;
    }
    return 1;
}

int PortalCaptureGeometry(PortalCapture *capture, CaptureGeometry *out) {
    *out = CaptureGeometry{};
    int32_t w = capture->formatWidth.load(), h = capture->formatHeight.load();
    if (w <= 0 || h <= 0) {
        const PortalStream &s = capture->streams[capture->streamIndex];
        w = s.width;
        h = s.height;
    }
    if (w <= 0 || h <= 0) return 0;
    out->rect = CaptureRect{0, 0, w, h};
    return 1;
}

int PortalCaptureCopy(PortalCapture *capture, uint8_t *slot, int32_t width, int32_t height,
                      uint64_t *slotFrame, int32_t *redFirst) {
    std::lock_guard<std::mutex> hold(capture->frameLock);
    *redFirst = capture->formatRedFirst.load();
    pw_buffer *b = capture->held;
    if (!b || !BufferHasPicture(b)) return 0;
    *redFirst = capture->heldRedFirst;
    capture->framesTaken = capture->framesSeen;
    if (*slotFrame == capture->framesSeen) return 1; // a still screen: nothing to copy
    // A frame of another size (the stream is being resized) waits for the relayout.
    if (capture->heldWidth != width || capture->heldHeight != height) return 0;
    int32_t stride = 0;
    const uint8_t *source = FramePixels(b, width, height, &stride);
    if (!source) return 0; // a buffer smaller than its format says is not read past its end
    size_t rowBytes = (size_t)width * 4;
    if (stride == width * 4) {
        memcpy(slot, source, rowBytes * height);
    } else {
        for (int32_t row = 0; row < height; row++)
            memcpy(slot + rowBytes * row, source + (size_t)stride * row, rowBytes);
    }
    *slotFrame = capture->framesSeen;
    return 1;
}

int PortalCaptureTakeChanges(PortalCapture *capture) {
    std::lock_guard<std::mutex> hold(capture->frameLock);
    bool changed = capture->framesSeen != capture->framesTaken;
    capture->framesTaken = capture->framesSeen;
    return changed ? 1 : 0;
}

int64_t PortalCaptureFrameAge(PortalCapture *capture) {
    std::lock_guard<std::mutex> hold(capture->frameLock);
    if (capture->framesSeen == capture->framesDated || capture->heldArrival == 0) return 0;
    capture->framesDated = capture->framesSeen;
    int64_t age = MonotonicNanos() - capture->heldArrival;
    return age > 0 ? age : 0;
}

int PortalCaptureWaitForFrame(PortalCapture *capture, int32_t timeoutMs) {
    std::unique_lock<std::mutex> hold(capture->frameLock);
    auto came = [&] {
        return capture->framesSeen != capture->framesTaken || capture->streamEnded.load();
    };
    capture->frameCame.wait_for(hold, std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0),
                                came);
    return capture->framesSeen != capture->framesTaken ? 1 : 0;
}

int PortalCaptureLend(PortalCapture *capture, int32_t width, int32_t height, uint64_t *token,
                      int32_t *redFirst) {
    std::lock_guard<std::mutex> hold(capture->frameLock);
    pw_buffer *b = capture->held;
    if (!b || !BufferHasPicture(b) || capture->heldWidth != width ||
        capture->heldHeight != height)
        return 0;
    int32_t stride = 0;
    const uint8_t *pixels = FramePixels(b, width, height, &stride);
    if (!pixels) return 0;
    if (stride != width * 4) {
        // Padded rows are for the copy, which packs them.
        if (!capture->paddedLogged)
            DebugLog(2, "Portal: frames have %i bytes a row for %i pixels; copying them\n",
                     stride, width);
        capture->paddedLogged = 1;
        return 0;
    }
    LentFrame *entry = nullptr;
    for (LentFrame &l : capture->lent) {
        if (!l.token) {
            entry = &l;
            break;
        }
    }
    if (!entry) return 0;
    *entry = LentFrame{++capture->lastToken, b, pixels, 0};
    *token = entry->token;
    *redFirst = capture->heldRedFirst;
    capture->framesTaken = capture->framesSeen;
    return 1;
}

const uint8_t *PortalCaptureBeginRead(PortalCapture *capture, uint64_t token) {
    std::lock_guard<std::mutex> hold(capture->frameLock);
    LentFrame *entry = FindLent(capture, token);
    if (!entry || !entry->pixels) return nullptr;
    entry->reading = 1;
    return entry->pixels;
}

void PortalCaptureRelease(PortalCapture *capture, uint64_t token) {
    std::lock_guard<std::mutex> hold(capture->frameLock);
    LentFrame *entry = FindLent(capture, token);
    if (!entry) return;
    bool wasReading = entry->reading != 0;
    *entry = LentFrame{};
    if (wasReading) capture->readEnded.notify_all();
}

uint32_t PortalAvailableSourceTypes() {
    sd_bus *bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) return 0;
    (void)sd_bus_set_method_call_timeout(bus, 2 * 1000 * 1000);
    uint32_t types = 0;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (sd_bus_get_property_trivial(bus, kPortalName, kPortalPath, kScreenCast,
                                    "AvailableSourceTypes", &error, 'u', &types) < 0)
        types = 0;
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
    return types;
}

int PortalCaptureStreams(const PortalCapture *capture, PortalStream *out, int capacity) {
    int n = capture->streamCount < capacity ? capture->streamCount : capacity;
    for (int i = 0; i < n; i++)
        out[i] = capture->streams[i];
    return n;
}
