// ostrel-avsync: once a second, turns the whole X screen white for a moment and plays a
// short click that sounds at the same instant, so that a mirroring receiver can measure
// how far its sound and picture are apart (ostrel-receiver --avsync).
//
// The sound goes out as one continuous stream (silence between clicks) so that the click's
// place in it is exact; the flash is timed from the sound server's reported latency.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <pulse/error.h>
#include <pulse/simple.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr int kChunk = 441; // 10 ms

double Now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

void SleepUntil(double when) {
    double wait = when - Now();
    if (wait <= 0) return;
    timespec t{(time_t)wait, (long)((wait - std::floor(wait)) * 1e9)};
    nanosleep(&t, nullptr);
}

struct Options {
    double seconds = 10;
    double interval = 1.0;
    double flashMs = 150;
    double clickMs = 5;
    double audioLeadMs = 0; // plays the click this much before the flash (to test a receiver)
    const char *sink = nullptr;
    bool audio = true;
};

void Usage(FILE *out) {
    fprintf(out, "usage: ostrel-avsync [options]\n"
                 "  --seconds N       run for N seconds (default 10)\n"
                 "  --interval S      seconds between flashes (default 1)\n"
                 "  --flash-ms N      how long the screen stays white (default 150)\n"
                 "  --click-ms N      length of the click (default 5)\n"
                 "  --audio-lead-ms N play each click N ms before its flash (negative: after)\n"
                 "  --sink NAME       PulseAudio sink (default: the default sink)\n"
                 "  --no-audio        flash only\n"
                 "The screen is the X display of $DISPLAY; the sound server is the one of the\n"
                 "environment (PULSE_SERVER or the user's).\n");
}

bool ParseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; i++) {
        std::string flag = argv[i];
        auto number = [&](double low, double high, double *out) {
            if (i + 1 >= argc) return false;
            char *end = nullptr;
            double value = strtod(argv[++i], &end);
            if (!end || *end || !(value >= low && value <= high)) {
                fprintf(stderr, "ostrel-avsync: %s takes a number from %g to %g\n", flag.c_str(),
                        low, high);
                return false;
            }
            *out = value;
            return true;
        };
        bool ok = true;
        if (flag == "--help" || flag == "-h") {
            Usage(stdout);
            exit(0);
        } else if (flag == "--seconds") {
            ok = number(1, 86400, &o->seconds);
        } else if (flag == "--interval") {
            ok = number(0.3, 60, &o->interval);
        } else if (flag == "--flash-ms") {
            ok = number(10, 1000, &o->flashMs);
        } else if (flag == "--click-ms") {
            ok = number(1, 100, &o->clickMs);
        } else if (flag == "--audio-lead-ms") {
            ok = number(-1000, 1000, &o->audioLeadMs);
        } else if (flag == "--sink" && i + 1 < argc) {
            o->sink = argv[++i];
        } else if (flag == "--no-audio") {
            o->audio = false;
        } else {
            fprintf(stderr, "ostrel-avsync: unknown option %s\n", flag.c_str());
            Usage(stderr);
            return false;
        }
        if (!ok) return false;
    }
    if (o->flashMs / 1e3 >= o->interval * 0.8) {
        fprintf(stderr, "ostrel-avsync: the flash must be shorter than the interval\n");
        return false;
    }
    return true;
}

struct FlashScreen {
    Display *display;
    Window window;
    unsigned long white, black;
};

bool OpenScreen(FlashScreen *s) {
    s->display = XOpenDisplay(nullptr);
    if (!s->display) {
        fprintf(stderr, "ostrel-avsync: cannot open the X display \"%s\"\n",
                getenv("DISPLAY") ? getenv("DISPLAY") : "");
        return false;
    }
    int screen = DefaultScreen(s->display);
    s->white = WhitePixel(s->display, screen);
    s->black = BlackPixel(s->display, screen);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = s->black;
    // Above everything, the whole screen, no window manager in the way.
    s->window = XCreateWindow(
        s->display, RootWindow(s->display, screen), 0, 0,
        (unsigned)DisplayWidth(s->display, screen), (unsigned)DisplayHeight(s->display, screen), 0,
        CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XStoreName(s->display, s->window, "ostrel-avsync");
    XMapRaised(s->display, s->window);
    XSync(s->display, False);
    return true;
}

void Paint(FlashScreen *s, bool white) {
    XSetWindowBackground(s->display, s->window, white ? s->white : s->black);
    XClearWindow(s->display, s->window);
    XSync(s->display, False);
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (!ParseOptions(argc, argv, &o)) return 2;
    FlashScreen screen{};
    if (!OpenScreen(&screen)) return 1;
    pa_simple *pulse = nullptr;
    if (o.audio) {
        pa_sample_spec spec{PA_SAMPLE_S16LE, kRate, 2};
        // A short buffer keeps the reported latency small and steady.
        pa_buffer_attr attr{(uint32_t)-1, (uint32_t)pa_usec_to_bytes(40000, &spec), (uint32_t)-1,
                            (uint32_t)pa_usec_to_bytes(10000, &spec), (uint32_t)-1};
        int error = 0;
        pulse = pa_simple_new(nullptr, "ostrel-avsync", PA_STREAM_PLAYBACK, o.sink, "sync clicks",
                              &spec, nullptr, &attr, &error);
        if (!pulse) {
            fprintf(stderr, "ostrel-avsync: cannot play through the sound server: %s\n",
                    pa_strerror(error));
            XCloseDisplay(screen.display);
            return 1;
        }
    }
    const long total = (long)(o.seconds * kRate);
    const long period = (long)(o.interval * kRate);
    const long first = kRate / 2; // the first click half a second in
    const long clickLength = (long)(o.clickMs * kRate / 1000);
    std::vector<int16_t> chunk(kChunk * 2);
    double flashAt = -1, darkAt = -1;
    int flashes = 0;
    double start = Now();
    for (long written = 0; written < total; written += kChunk) {
        // Samples of this chunk: silence, or part of a click (a 2 kHz burst at -2 dBFS).
        long clickStart = -1;
        for (int i = 0; i < kChunk; i++) {
            long n = written + i;
            long inPeriod = n >= first ? (n - first) % period : -1;
            double v = 0;
            if (inPeriod >= 0 && inPeriod < clickLength) {
                if (inPeriod == 0) clickStart = i;
                v = 0.8 * std::sin(2 * M_PI * 2000.0 * inPeriod / kRate);
            }
            chunk[2 * i] = chunk[2 * i + 1] = (int16_t)lrint(v * 32767);
        }
        double now = Now();
        if (clickStart >= 0) {
            double latency = 0;
            if (pulse) {
                int error = 0;
                pa_usec_t usec = pa_simple_get_latency(pulse, &error);
                latency = usec == (pa_usec_t)-1 ? 0 : usec / 1e6;
                flashAt = now + latency + (double)clickStart / kRate + o.audioLeadMs / 1e3;
            } else {
                flashAt = start + (double)(written + clickStart) / kRate;
            }
            printf("ostrel-avsync: click %d in %.1f ms (sound server latency %.1f ms)\n",
                   flashes + 1, (flashAt - now) * 1e3, latency * 1e3);
            fflush(stdout);
        }
        if (pulse) {
            int error = 0;
            if (pa_simple_write(pulse, chunk.data(), chunk.size() * sizeof(int16_t), &error) < 0) {
                fprintf(stderr, "ostrel-avsync: playing failed: %s\n", pa_strerror(error));
                break;
            }
        } else {
            SleepUntil(start + (double)(written + kChunk) / kRate);
        }
        // A write returns about 10 ms before the buffer needs more: a flash due by then is
        // waited for exactly.
        now = Now();
        if (flashAt >= 0 && flashAt - now < 0.012) {
            SleepUntil(flashAt);
            Paint(&screen, true);
            flashes++;
            darkAt = flashAt + o.flashMs / 1e3;
            flashAt = -1;
        }
        if (darkAt >= 0 && Now() >= darkAt) {
            Paint(&screen, false);
            darkAt = -1;
        }
    }
    if (darkAt >= 0) {
        SleepUntil(darkAt);
        Paint(&screen, false);
    }
    if (pulse) {
        int error = 0;
        pa_simple_drain(pulse, &error);
        pa_simple_free(pulse);
    }
    printf("ostrel-avsync: %d flashes\n", flashes);
    XDestroyWindow(screen.display, screen.window);
    XCloseDisplay(screen.display);
    return 0;
}
