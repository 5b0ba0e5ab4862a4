// Sound-server capture over libpulse (PulseAudio, or PipeWire's pulse server).
//
// Muting a sink also silences its monitor, so the PC's output cannot be muted and captured
// at once. Instead a private null sink receives every playback stream while capturing: it
// becomes the default sink, existing streams are moved onto it, and a subscription moves
// any stream that appears elsewhere (a new one, or one the user moves back). Its monitor
// is recorded. Stop puts the default sink and every stream back.
//
// The private sink carries in its properties the owner's process id and start time and the
// default sink it replaced, so that a later process can put things back when the owner was
// killed (OvPulseRestoreStale).
//
// One pa_mainloop, driven by whichever thread owns it: the creating thread during set-up,
// the capture thread from the end of set-up until close, then the closing thread. Start
// and stop hand their work to the capture thread and wait for it.
#include "system_audio/ov_capture_internal.h"

#include "base/clock.h"
#include "base/event.h"
#include "base/log.h"
#include "base/thread.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <pulse/pulseaudio.h>
#include <unistd.h>

static constexpr const char *kSinkPrefix = "ostrel_capture_";
static constexpr const char *kPropOwnerPid = "ostrel.owner_pid";
static constexpr const char *kPropOwnerStart = "ostrel.owner_start";
static constexpr const char *kPropPreviousDefault = "ostrel.previous_default";
static constexpr int kOperationTimeoutMs = 5000;
static constexpr int kMaxMovedStreams = 64;
static constexpr int kMaxSinks = 64;
static constexpr int kNameBytes = 256;

enum PulseCommand { kCommandNone = 0, kCommandStart = 1, kCommandStop = 2 };

// A playback stream moved onto the private sink, and the sink it came from.
struct MovedStream {
    uint32_t stream;
    uint32_t originSink;
};

struct OvPulseCapture {
    pa_mainloop *loop;   // owned
    pa_context *context; // owned
    pa_stream *stream;   // owned; the monitor recording, corked until start
    uint32_t moduleIndex;
    uint32_t sinkIndex;
    char sinkName[kNameBytes];
    char monitorName[kNameBytes + 16];
    char previousDefault[kNameBytes]; // the default sink to give back at stop
    pa_sample_spec captureSpec;
    int redirecting; // 1 while streams are sent to the private sink (the output is "muted")
    MovedStream moved[kMaxMovedStreams];
    int movedCount;
    Thread thread;
    std::atomic<int> running;     // run flag of the capture thread; written by close
    std::atomic<int> threadEnded; // written once by the capture thread as it leaves
    std::atomic<int> command;     // PulseCommand; written by start/stop, cleared by the thread
    int commandResult;            // written by whoever ran the command
    Event *commandDone;           // auto-reset; owned
    OvSystemAudio *owner;
};

// ---- main loop helpers -------------------------------------------------------------

static int Iterate(OvPulseCapture *p, int timeoutMs) {
    if (pa_mainloop_prepare(p->loop, timeoutMs * 1000) < 0) return -1;
    if (pa_mainloop_poll(p->loop) < 0) return -1;
    if (pa_mainloop_dispatch(p->loop) < 0) return -1;
    return 0;
}

static bool ContextGood(OvPulseCapture *p) {
    return p->context && PA_CONTEXT_IS_GOOD(pa_context_get_state(p->context));
}

static int ContextError(OvPulseCapture *p) {
    return p->context ? pa_context_errno(p->context) : 0;
}

// Runs the loop until op completes. Returns 1 when it did, 0 on failure or time-out.
static int WaitOperation(OvPulseCapture *p, pa_operation *op) {
    if (!op) return 0;
    const int64_t deadline = MonotonicNanos() + kOperationTimeoutMs * 1000000LL;
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING && ContextGood(p) &&
           MonotonicNanos() < deadline) {
        if (Iterate(p, 50) < 0) break;
    }
    const int done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    if (!done) pa_operation_cancel(op);
    pa_operation_unref(op);
    return done;
}

static void FireAndForget(pa_operation *op) {
    if (op) pa_operation_unref(op);
}

struct SuccessResult {
    int success;
};

static void OnSuccess(pa_context *, int success, void *userdata) {
    static_cast<SuccessResult *>(userdata)->success = success;
}

static void OnStreamSuccess(pa_stream *, int success, void *userdata) {
    static_cast<SuccessResult *>(userdata)->success = success;
}

static int RunSuccessOperation(OvPulseCapture *p, pa_operation *op, SuccessResult *result) {
    result->success = 0;
    return WaitOperation(p, op) && result->success;
}

static void Disconnect(OvPulseCapture *p) {
    if (p->context) {
        pa_context_disconnect(p->context);
        pa_context_unref(p->context);
        p->context = nullptr;
    }
    if (p->loop) {
        pa_mainloop_free(p->loop);
        p->loop = nullptr;
    }
}

// Connects without starting a server. Returns 1 when the server accepted.
static int Connect(OvPulseCapture *p) {
    p->loop = pa_mainloop_new();
    if (!p->loop) return 0;
    p->context = pa_context_new(pa_mainloop_get_api(p->loop), "Ostrel");
    if (!p->context ||
        pa_context_connect(p->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        Disconnect(p);
        return 0;
    }
    const int64_t deadline = MonotonicNanos() + kOperationTimeoutMs * 1000000LL;
    while (pa_context_get_state(p->context) != PA_CONTEXT_READY && ContextGood(p) &&
           MonotonicNanos() < deadline) {
        if (Iterate(p, 50) < 0) break;
    }
    if (pa_context_get_state(p->context) != PA_CONTEXT_READY) {
        Disconnect(p);
        return 0;
    }
    return 1;
}

static OvPulseCapture *NewPulse() {
    OvPulseCapture *p = new (std::nothrow) OvPulseCapture{};
    if (!p) return nullptr;
    p->moduleIndex = PA_INVALID_INDEX;
    p->sinkIndex = PA_INVALID_INDEX;
    return p;
}

// ---- queries ------------------------------------------------------------------------

static void OnServerInfo(pa_context *, const pa_server_info *info, void *userdata) {
    char *name = static_cast<char *>(userdata);
    name[0] = '\0';
    if (info && info->default_sink_name) snprintf(name, kNameBytes, "%s", info->default_sink_name);
}

// The server's default sink name ("" when it has none). 1 when the server answered.
static int QueryDefaultSink(OvPulseCapture *p, char *name) {
    name[0] = '\0';
    return WaitOperation(p, pa_context_get_server_info(p->context, OnServerInfo, name));
}

struct SinkEntry {
    uint32_t index;
    uint32_t ownerModule;
    int muted;
    char name[kNameBytes];
    char previousDefault[kNameBytes];
    long long ownerPid; // -1 when the sink is not a private capture sink
    unsigned long long ownerStart;
};

struct SinkList {
    SinkEntry sinks[kMaxSinks];
    int count;
};

static void OnSinkInfo(pa_context *, const pa_sink_info *info, int eol, void *userdata) {
    SinkList *list = static_cast<SinkList *>(userdata);
    if (eol || !info || list->count >= kMaxSinks) return;
    SinkEntry *entry = &list->sinks[list->count++];
    entry->index = info->index;
    entry->ownerModule = info->owner_module;
    entry->muted = info->mute ? 1 : 0;
    snprintf(entry->name, kNameBytes, "%s", info->name ? info->name : "");
    entry->previousDefault[0] = '\0';
    entry->ownerPid = -1;
    entry->ownerStart = 0;
    const char *pid = pa_proplist_gets(info->proplist, kPropOwnerPid);
    if (pid && strncmp(entry->name, kSinkPrefix, strlen(kSinkPrefix)) == 0) {
        entry->ownerPid = strtoll(pid, nullptr, 10);
        const char *start = pa_proplist_gets(info->proplist, kPropOwnerStart);
        entry->ownerStart = start ? strtoull(start, nullptr, 10) : 0;
        const char *previous = pa_proplist_gets(info->proplist, kPropPreviousDefault);
        if (previous) snprintf(entry->previousDefault, kNameBytes, "%s", previous);
    }
}

static int QuerySinks(OvPulseCapture *p, SinkList *list) {
    list->count = 0;
    return WaitOperation(p, pa_context_get_sink_info_list(p->context, OnSinkInfo, list));
}

static const SinkEntry *FindSinkByName(const SinkList *list, const char *name) {
    for (int i = 0; i < list->count; i++)
        if (strcmp(list->sinks[i].name, name) == 0) return &list->sinks[i];
    return nullptr;
}

static const SinkEntry *FindSinkByIndex(const SinkList *list, uint32_t index) {
    for (int i = 0; i < list->count; i++)
        if (list->sinks[i].index == index) return &list->sinks[i];
    return nullptr;
}

struct StreamEntry {
    uint32_t index;
    uint32_t sink;
};

struct StreamList {
    StreamEntry streams[256];
    int count;
};

static void OnSinkInputInfoList(pa_context *, const pa_sink_input_info *info, int eol,
                                void *userdata) {
    StreamList *list = static_cast<StreamList *>(userdata);
    if (eol || !info || list->count >= 256) return;
    list->streams[list->count++] = {info->index, info->sink};
}

static int QueryStreams(OvPulseCapture *p, StreamList *list) {
    list->count = 0;
    return WaitOperation(
        p, pa_context_get_sink_input_info_list(p->context, OnSinkInputInfoList, list));
}

// Start time of a process in clock ticks since boot (field 22 of /proc/PID/stat), or 0.
static unsigned long long ProcessStartTime(long long pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%lld/stat", pid);
    FILE *file = fopen(path, "r");
    if (!file) return 0;
    char buffer[1024];
    const size_t length = fread(buffer, 1, sizeof buffer - 1, file);
    fclose(file);
    buffer[length] = '\0';
    // The command name may hold spaces and parentheses: count fields after the last ')'.
    const char *field = strrchr(buffer, ')');
    if (!field) return 0;
    field++;
    for (int i = 3; i <= 22 && field; i++) {
        while (*field == ' ')
            field++;
        if (i == 22) return strtoull(field, nullptr, 10);
        field = strchr(field, ' ');
    }
    return 0;
}

static bool OwnerAlive(const SinkEntry *sink) {
    if (sink->ownerPid <= 0) return false;
    if (kill(static_cast<pid_t>(sink->ownerPid), 0) != 0 && errno != EPERM) return false;
    // A recycled process id belongs to another process with another start time.
    return sink->ownerStart == 0 || ProcessStartTime(sink->ownerPid) == sink->ownerStart;
}

// ---- moving streams -----------------------------------------------------------------

static void MoveStream(OvPulseCapture *p, uint32_t stream, uint32_t sink) {
    FireAndForget(pa_context_move_sink_input_by_index(p->context, stream, sink, nullptr, nullptr));
}

static void RememberOrigin(OvPulseCapture *p, uint32_t stream, uint32_t originSink) {
    for (int i = 0; i < p->movedCount; i++)
        if (p->moved[i].stream == stream)
            return; // a stream the user moved back still belongs where it first was
    if (p->movedCount < kMaxMovedStreams) p->moved[p->movedCount++] = {stream, originSink};
}

static void ForgetStream(OvPulseCapture *p, uint32_t stream) {
    for (int i = 0; i < p->movedCount; i++)
        if (p->moved[i].stream == stream) {
            p->moved[i] = p->moved[--p->movedCount];
            return;
        }
}

// The sink streams fall back to when their own is gone: the recorded default, else any
// sink other than the private ones.
static const SinkEntry *FallbackSink(const SinkList *sinks, const char *previousDefault) {
    const SinkEntry *sink = previousDefault[0] ? FindSinkByName(sinks, previousDefault) : nullptr;
    if (sink && sink->ownerPid < 0) return sink;
    for (int i = 0; i < sinks->count; i++)
        if (sinks->sinks[i].ownerPid < 0) return &sinks->sinks[i];
    return nullptr;
}

static void OnStreamInfo(pa_context *, const pa_sink_input_info *info, int eol, void *userdata) {
    OvPulseCapture *p = static_cast<OvPulseCapture *>(userdata);
    if (eol || !info || !p->redirecting || info->sink == p->sinkIndex) return;
    DebugLog(2, "Playback stream %u appeared on sink %u, moving it to the capture sink\n",
             info->index, info->sink);
    RememberOrigin(p, info->index, info->sink);
    MoveStream(p, info->index, p->sinkIndex);
}

static void OnDefaultChanged(pa_context *, const pa_server_info *info, void *userdata) {
    OvPulseCapture *p = static_cast<OvPulseCapture *>(userdata);
    if (!info || !p->redirecting || !info->default_sink_name ||
        strcmp(info->default_sink_name, p->sinkName) == 0)
        return;
    // The user chose another output while capturing: give that one back at stop.
    DebugLog(2, "Default sink changed to %s while capturing, keeping the capture sink\n",
             info->default_sink_name);
    snprintf(p->previousDefault, kNameBytes, "%s", info->default_sink_name);
    FireAndForget(pa_context_set_default_sink(p->context, p->sinkName, nullptr, nullptr));
}

static void OnSubscription(pa_context *context, pa_subscription_event_type_t event, uint32_t index,
                           void *userdata) {
    OvPulseCapture *p = static_cast<OvPulseCapture *>(userdata);
    const int facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const int type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
        if (type == PA_SUBSCRIPTION_EVENT_REMOVE)
            ForgetStream(p, index);
        else if (p->redirecting)
            FireAndForget(pa_context_get_sink_input_info(context, index, OnStreamInfo, p));
    } else if (facility == PA_SUBSCRIPTION_EVENT_SERVER && p->redirecting) {
        FireAndForget(pa_context_get_server_info(context, OnDefaultChanged, p));
    }
}

// Makes the private sink the default and moves every playback stream onto it.
static void RedirectOutput(OvPulseCapture *p) {
    SuccessResult result;
    if (!RunSuccessOperation(
            p, pa_context_set_default_sink(p->context, p->sinkName, OnSuccess, &result), &result))
        DebugLog(2, "Failed to make the capture sink the default: %i\n", ContextError(p));
    p->redirecting = 1;
    StreamList *streams = new (std::nothrow) StreamList;
    if (!streams) return;
    if (QueryStreams(p, streams)) {
        for (int i = 0; i < streams->count; i++) {
            const StreamEntry *stream = &streams->streams[i];
            if (stream->sink == p->sinkIndex) continue;
            RememberOrigin(p, stream->index, stream->sink);
            // Waited for, so the first captured blocks already carry every stream.
            SuccessResult moved;
            if (!RunSuccessOperation(p,
                                     pa_context_move_sink_input_by_index(p->context, stream->index,
                                                                         p->sinkIndex, OnSuccess,
                                                                         &moved),
                                     &moved))
                DebugLog(2, "Failed to move playback stream %u to the capture sink: %i\n",
                         stream->index, ContextError(p));
        }
    }
    delete streams;
}

// Gives the default back and moves every stream on the private sink (index sinkIndex)
// to where it came from. Used at stop and for the sinks of killed runs.
static void RestoreOutput(OvPulseCapture *p, uint32_t sinkIndex, const char *sinkName,
                          const char *previousDefault, const MovedStream *moved, int movedCount) {
    SinkList *sinks = new (std::nothrow) SinkList;
    StreamList *streams = new (std::nothrow) StreamList;
    if (sinks && streams && QuerySinks(p, sinks)) {
        const SinkEntry *fallback = FallbackSink(sinks, previousDefault);
        if (QueryStreams(p, streams)) {
            for (int i = 0; i < streams->count; i++) {
                if (streams->streams[i].sink != sinkIndex) continue;
                const SinkEntry *target = fallback;
                for (int m = 0; m < movedCount; m++)
                    if (moved[m].stream == streams->streams[i].index) {
                        const SinkEntry *origin = FindSinkByIndex(sinks, moved[m].originSink);
                        if (origin && origin->ownerPid < 0) target = origin;
                    }
                if (!target) continue; // no other sink: the server places it when the module goes
                SuccessResult result;
                if (!RunSuccessOperation(
                        p,
                        pa_context_move_sink_input_by_index(p->context, streams->streams[i].index,
                                                            target->index, OnSuccess, &result),
                        &result))
                    DebugLog(2, "Failed to move playback stream %u back to %s: %i\n",
                             streams->streams[i].index, target->name, ContextError(p));
            }
        }
        char current[kNameBytes];
        if (fallback && QueryDefaultSink(p, current) &&
            (current[0] == '\0' || strcmp(current, sinkName) == 0)) {
            SuccessResult result;
            if (!RunSuccessOperation(
                    p, pa_context_set_default_sink(p->context, fallback->name, OnSuccess, &result),
                    &result))
                DebugLog(2, "Failed to restore the default sink %s: %i\n", fallback->name,
                         ContextError(p));
        }
    }
    delete sinks;
    delete streams;
}

static int UnloadModule(OvPulseCapture *p, uint32_t module) {
    SuccessResult result;
    return RunSuccessOperation(p, pa_context_unload_module(p->context, module, OnSuccess, &result),
                               &result);
}

// Restores and removes every private sink whose owner is gone. Returns how many.
static int RestoreStaleSinks(OvPulseCapture *p) {
    SinkList *sinks = new (std::nothrow) SinkList;
    if (!sinks) return 0;
    int restored = 0;
    if (QuerySinks(p, sinks)) {
        for (int i = 0; i < sinks->count; i++) {
            const SinkEntry *sink = &sinks->sinks[i];
            if (sink->ownerPid < 0 || OwnerAlive(sink)) continue;
            DebugLog(2, "Found capture sink %s left by process %lld, restoring %s\n", sink->name,
                     sink->ownerPid, sink->previousDefault[0] ? sink->previousDefault : "-");
            RestoreOutput(p, sink->index, sink->name, sink->previousDefault, nullptr, 0);
            if (!UnloadModule(p, sink->ownerModule))
                DebugLog(2, "Failed to remove capture sink %s: %i\n", sink->name, ContextError(p));
            restored++;
        }
    }
    delete sinks;
    return restored;
}

// ---- recording ----------------------------------------------------------------------

static void OnReadable(pa_stream *stream, size_t, void *userdata) {
    OvPulseCapture *p = static_cast<OvPulseCapture *>(userdata);
    OvSystemAudio *audio = p->owner;
    const size_t frameBytes = pa_frame_size(&p->captureSpec);
    while (pa_stream_readable_size(stream) > 0) {
        const void *data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0) {
            DebugLog(2, "Failed to get audio capture buffer: %i\n", ContextError(p));
            return;
        }
        if (bytes == 0) return;
        // A hole (no data) carries nothing to send; blocks only flow while capturing.
        if (data && audio->capturing.load())
            OvSystemAudioDeliver(audio, static_cast<const int16_t *>(data),
                                 static_cast<int>(bytes / frameBytes));
        pa_stream_drop(stream);
    }
}

struct SourceRate {
    uint32_t rate;
    uint8_t channels;
    int format;
};

static void OnSourceInfo(pa_context *, const pa_source_info *info, int eol, void *userdata) {
    SourceRate *rate = static_cast<SourceRate *>(userdata);
    if (eol || !info) return;
    rate->rate = info->sample_spec.rate;
    rate->channels = info->sample_spec.channels;
    rate->format = info->sample_spec.format;
}

static int ConnectRecording(OvPulseCapture *p) {
    p->stream = pa_stream_new(p->context, "System audio capture", &p->captureSpec, nullptr);
    if (!p->stream) return 0;
    pa_stream_set_read_callback(p->stream, OnReadable, p);
    // Two blocks' worth per fragment: the server then wakes us about 46 times a second, half
    // the wake-ups (and well under half the CPU) of one block, while capture-to-send stays
    // far below a video frame's worth of delay. Players asking for lower latency make the
    // server deliver in smaller pieces anyway.
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(pa_frame_size(&p->captureSpec) * 2 * kAudioBlockFrames *
                                          p->captureSpec.rate / 44100);
    const pa_stream_flags_t flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(p->stream, p->monitorName, &attr, flags) < 0) return 0;
    const int64_t deadline = MonotonicNanos() + kOperationTimeoutMs * 1000000LL;
    while (pa_stream_get_state(p->stream) == PA_STREAM_CREATING && ContextGood(p) &&
           MonotonicNanos() < deadline)
        if (Iterate(p, 50) < 0) break;
    if (pa_stream_get_state(p->stream) != PA_STREAM_READY) return 0;
    const pa_buffer_attr *granted = pa_stream_get_buffer_attr(p->stream);
    pa_usec_t latency = 0;
    int negative = 0;
    pa_stream_get_latency(p->stream, &latency, &negative);
    DebugLog(0, "Buffer Size: %i, Period: %lld, %lld, %lld\n",
             granted ? static_cast<int>(granted->maxlength) : 0,
             granted ? static_cast<long long>(granted->fragsize) : 0LL,
             static_cast<long long>(pa_frame_size(&p->captureSpec) * kAudioBlockFrames),
             static_cast<long long>(latency));
    return 1;
}

static void DropRecording(OvPulseCapture *p) {
    if (!p->stream) return;
    pa_stream_set_read_callback(p->stream, nullptr, nullptr);
    pa_stream_disconnect(p->stream);
    pa_stream_unref(p->stream);
    p->stream = nullptr;
}

// ---- capture thread and its commands ------------------------------------------------

static int RunCommand(OvPulseCapture *p, int command) {
    OvSystemAudio *audio = p->owner;
    if (command == kCommandStart) {
        SuccessResult result;
        if (p->stream && ContextGood(p) &&
            RunSuccessOperation(p, pa_stream_cork(p->stream, 0, OnStreamSuccess, &result),
                                &result)) {
            audio->capturing.store(1);
            return 1;
        }
        DebugLog(2, "Failed to start PulseAudio Audio Capture: %i\n", ContextError(p));
        DropRecording(p);
        return 0;
    }
    if (p->stream && ContextGood(p)) {
        SuccessResult result;
        if (!RunSuccessOperation(p, pa_stream_cork(p->stream, 1, OnStreamSuccess, &result),
                                 &result))
            DebugLog(2, "Failed to stop audio client: %i\n", ContextError(p));
    }
    audio->capturing.store(0);
    if (p->redirecting) {
        p->redirecting = 0;
        if (ContextGood(p))
            RestoreOutput(p, p->sinkIndex, p->sinkName, p->previousDefault, p->moved,
                          p->movedCount);
        p->movedCount = 0;
    }
    return 1;
}

static void CaptureThreadMain(void *arg) {
    OvPulseCapture *p = static_cast<OvPulseCapture *>(arg);
    while (p->running.load()) {
        const int command = p->command.exchange(kCommandNone);
        if (command != kCommandNone) {
            p->commandResult = RunCommand(p, command);
            EventSet(p->commandDone);
        }
        if (Iterate(p, 100) < 0 || !ContextGood(p)) {
            DebugLog(2, "Failed to get audio capture packet size: %i\n", ContextError(p));
            break;
        }
    }
    const int command = p->command.exchange(kCommandNone);
    if (command != kCommandNone) {
        p->commandResult = RunCommand(p, command);
        EventSet(p->commandDone);
    }
    p->threadEnded.store(1);
    DebugLog(2, "OvSystemAudio Leaving thread loop!\n");
}

// Runs command on the thread that owns the loop and returns its result.
static int PostCommand(OvPulseCapture *p, int command) {
    if (!ThreadIsStarted(&p->thread) || p->threadEnded.load()) return RunCommand(p, command);
    p->command.store(command);
    pa_mainloop_wakeup(p->loop);
    for (;;) {
        if (EventWait(p->commandDone, 100)) return p->commandResult;
        // A thread that ended after its last look at the command leaves it to us.
        if (p->threadEnded.load()) {
            const int left = p->command.exchange(kCommandNone);
            if (left != kCommandNone) return RunCommand(p, left);
            if (EventWait(p->commandDone, 0)) return p->commandResult;
        }
    }
}

// ---- entries ------------------------------------------------------------------------

int OvPulseProbe(OvSystemAudio *audio) {
    OvPulseCapture *p = NewPulse();
    if (!p) return 0;
    if (!Connect(p)) {
        delete p;
        return 0;
    }
    p->owner = audio;
    audio->pulse = p;
    return 1;
}

int OvPulseOpen(OvSystemAudio *audio) {
    OvPulseCapture *p = audio->pulse;
    if (!p) return 0;
    p->commandDone = EventCreate(false, false);
    if (!p->commandDone) return 0;
    RestoreStaleSinks(p);

    SinkList *sinks = new (std::nothrow) SinkList;
    if (!sinks) return 0;
    char defaultSink[kNameBytes];
    if (!QueryDefaultSink(p, defaultSink) || !QuerySinks(p, sinks)) {
        DebugLog(2, "Failed to find default render device: %i\n", ContextError(p));
        delete sinks;
        return 0;
    }
    const SinkEntry *original = FindSinkByName(sinks, defaultSink);
    snprintf(p->previousDefault, kNameBytes, "%s", original ? original->name : "");
    const int originalMuted = original ? original->muted : 0;
    delete sinks;

    // The module argument parser takes the name inside quotes; a name that would break
    // them is not recorded, and a later restore then uses any remaining sink.
    char recorded[kNameBytes];
    snprintf(recorded, sizeof recorded, "%s",
             strpbrk(p->previousDefault, "\"'\\") ? "" : p->previousDefault);
    const long long pid = getpid();
    snprintf(p->sinkName, kNameBytes, "%s%lld", kSinkPrefix, pid);
    char previous[kNameBytes + 64] = "";
    if (recorded[0])
        snprintf(previous, sizeof previous, " %s=\"%s\"", kPropPreviousDefault, recorded);
    char arguments[1024];
    snprintf(arguments, sizeof arguments,
             "sink_name=%s channels=%u channel_map=%s "
             "sink_properties='device.description=\"Ostrel capture\" %s=%lld %s=%llu%s'",
             p->sinkName, audio->channels, audio->channels == 2 ? "front-left,front-right" : "mono",
             kPropOwnerPid, pid, kPropOwnerStart, ProcessStartTime(pid), previous);
    struct ModuleResult {
        uint32_t index;
    } module = {PA_INVALID_INDEX};
    auto onModule = [](pa_context *, uint32_t index, void *userdata) {
        static_cast<ModuleResult *>(userdata)->index = index;
    };
    if (!WaitOperation(p, pa_context_load_module(p->context, "module-null-sink", arguments,
                                                 onModule, &module)) ||
        module.index == PA_INVALID_INDEX) {
        DebugLog(2, "Failed to activate audio client for default render device: %i\n",
                 ContextError(p));
        return 0;
    }
    p->moduleIndex = module.index;

    sinks = new (std::nothrow) SinkList;
    const SinkEntry *own =
        sinks && QuerySinks(p, sinks) ? FindSinkByName(sinks, p->sinkName) : nullptr;
    if (own) p->sinkIndex = own->index;
    delete sinks;
    if (p->sinkIndex == PA_INVALID_INDEX) {
        DebugLog(2, "Failed to activate audio client for default render device: %i\n",
                 ContextError(p));
        return 0;
    }
    snprintf(p->monitorName, sizeof p->monitorName, "%s.monitor", p->sinkName);

    // Record at the monitor's own rate; the server would otherwise resample for us with its
    // own (costlier, and on some servers lower-quality) converter.
    SourceRate source = {0, 0, 0};
    if (!WaitOperation(p, pa_context_get_source_info_by_name(p->context, p->monitorName,
                                                             OnSourceInfo, &source)) ||
        source.rate == 0) {
        DebugLog(2, "Failed to get mixer format for default render device: %i\n", ContextError(p));
        return 0;
    }
    pa_sample_spec native = {static_cast<pa_sample_format_t>(source.format), source.rate,
                             source.channels};
    DebugLog(2,
             "Opened PulseAudio monitor with default parameters:\nSample Rate: % i\nChannels: %i "
             "\nFrameSize: %i \nBits Per Sample: %i \n",
             static_cast<int>(source.rate), source.channels,
             static_cast<int>(pa_frame_size(&native)),
             static_cast<int>(pa_sample_size(&native) * 8));
    p->captureSpec.format = PA_SAMPLE_S16LE;
    p->captureSpec.rate = source.rate;
    p->captureSpec.channels = static_cast<uint8_t>(audio->channels);
    if (!OvSystemAudioPrepareRate(audio, source.rate)) return 0;

    if (!ConnectRecording(p)) {
        DebugLog(2,
                 "Failed to initialize loopback audio client for default render with sample rate "
                 "converter: %i\n",
                 ContextError(p));
        return 0;
    }

    pa_context_set_subscribe_callback(p->context, OnSubscription, p);
    SuccessResult subscribed;
    if (!RunSuccessOperation(
            p,
            pa_context_subscribe(p->context,
                                 static_cast<pa_subscription_mask_t>(
                                     PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_SERVER),
                                 OnSuccess, &subscribed),
            &subscribed))
        DebugLog(2, "Failed to subscribe to playback stream changes: %i\n", ContextError(p));

    DebugLog(2, "Audio Output is muted: %i\n", originalMuted);
    DebugLog(2, "Muting PC, will un-mute when audio is stopped!\n");
    RedirectOutput(p);

    p->running.store(1);
    if (!ThreadStart(&p->thread, "ostrel-audiocap", CaptureThreadMain, p)) {
        DebugLog(2, "Failed to start the audio capture thread\n");
        p->running.store(0);
        return 0;
    }
    return 1;
}

int OvPulseStart(OvSystemAudio *audio) {
    OvPulseCapture *p = audio->pulse;
    if (!p || !p->stream) return 1;
    return PostCommand(p, kCommandStart);
}

int OvPulseStop(OvSystemAudio *audio) {
    OvPulseCapture *p = audio->pulse;
    if (!p || !p->context) return 1;
    PostCommand(p, kCommandStop);
    return 1;
}

void OvPulseClose(OvSystemAudio *audio) {
    OvPulseCapture *p = audio->pulse;
    if (!p) return;
    if (ThreadIsStarted(&p->thread)) {
        p->running.store(0);
        if (p->loop) pa_mainloop_wakeup(p->loop);
        ThreadJoin(&p->thread);
        DebugLog(2, "OvSystemAudio: Terminated Audio Capture thread!\n");
    }
    // The loop is ours again: whatever a failed set-up or an unstopped capture left goes
    // back before the private sink disappears.
    if (p->context && (p->redirecting || audio->capturing.load())) RunCommand(p, kCommandStop);
    DropRecording(p);
    if (p->context && ContextGood(p) && p->moduleIndex != PA_INVALID_INDEX &&
        !UnloadModule(p, p->moduleIndex))
        DebugLog(2, "Failed to remove capture sink %s: %i\n", p->sinkName, ContextError(p));
    Disconnect(p);
    if (p->commandDone) EventClose(p->commandDone);
    delete p;
    audio->pulse = nullptr;
}

int OvPulseRestoreStale() {
    OvPulseCapture *p = NewPulse();
    if (!p) return -1;
    if (!Connect(p)) {
        delete p;
        return -1;
    }
    const int restored = RestoreStaleSinks(p);
    Disconnect(p);
    delete p;
    return restored;
}
