// The tray menu reads the sound connection's state on the main thread while other threads
// start and stop it: real audio connections to a loopback listener that never answers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "audio_stream/audio_connection.h"
#include "base/log.h"
#include "base/thread.h"
#include "mirroring/mirroring_connection.h"
#include "plist/cfvalue.h"
#include "shell/audio_link.h"
#include "tests/support/wait.h"

namespace {

struct Shared {
    MirroringConnection *connection;
    uint16_t port;
    std::atomic<int> cycles{0};
    std::atomic<bool> done{false};
};

// What the mirroring connection's threads do: start the sound once the receiver described
// its screen (sometimes over a connection still held), stop it when the picture ends.
void StartAndStop(void *arg) {
    Shared *s = static_cast<Shared *>(arg);
    const MirroringAudioOps *table = AudioStreamTable();
    MirroringConnection *m = s->connection;
    for (int i = 0; i < 120; i++) {
        int starts = i % 3 == 0 ? 2 : 1;
        for (int k = 0; k < starts; k++)
            (void)table->start(&m->audio, m->host, s->port, nullptr, kAudioStreamOps.onDisconnected,
                               m, nullptr, kAudioCodecAacEld);
        // Until the control connection is under way (bounded; a refusal also ends it).
        (void)WaitUntil([&] { return kAudioStreamOps.state(nullptr, m) >= kAudioOptionsSent; },
                        500);
        table->stop(&m->audio);
        s->cycles++;
    }
    s->done = true;
}

// Without a guard, a state read that loaded the record just before another thread took it
// out and freed it reads freed memory (ThreadSanitizer and AddressSanitizer builds report
// it; an ordinary build may read a stray value).
TEST(AudioLinkTest, MenuReadsTheSoundStateWhileOtherThreadsStartAndStopIt) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(listener, (sockaddr *)&address, sizeof address));
    // Connections complete in the backlog and are never answered.
    ASSERT_EQ(0, listen(listener, 512));
    socklen_t length = sizeof address;
    ASSERT_EQ(0, getsockname(listener, (sockaddr *)&address, &length));

    int savedMode = LogOutputMode.load();
    LogOutputMode = 7; // quiet: hundreds of connection lines
    MirroringConnection m;
    m.host = CFStringFromBytes("127.0.0.1", 0);
    Shared shared;
    shared.connection = &m;
    shared.port = ntohs(address.sin_port);
    Thread other{};
    ASSERT_EQ(1, ThreadStart(&other, "audio-starter", StartAndStop, &shared));
    long reads = 0, live = 0, strange = 0;
    while (!shared.done.load()) {
        int state = kAudioStreamOps.state(nullptr, &m);
        int failure = kAudioStreamOps.failure(nullptr, &m);
        reads++;
        if (state != 0) live++;
        if (state < 0 || state > 64 || failure < 0 || failure > 64) strange++;
    }
    ThreadJoin(&other);
    LogOutputMode = savedMode;
    EXPECT_EQ(120, shared.cycles.load());
    EXPECT_GT(live, 0) << "the reads never met a live connection (" << reads << " reads)";
    EXPECT_EQ(0, strange) << "state or failure read from a freed record";
    EXPECT_EQ(nullptr, m.audio.load()) << "a connection was left in the slot";
    EXPECT_EQ(0, kAudioStreamOps.state(nullptr, &m));
    CFValueRelease(m.host);
    m.host = nullptr;
    close(listener);
}

} // namespace
