#include "audiofixture.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace {

bool writeText(const std::string& path, const std::string& text)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
    return static_cast<bool>(f);
}

bool daemonAnswers()
{
    return std::system("pactl list short sinks 2>/dev/null | grep -q micfeed") == 0;
}

}  // namespace

std::vector<int16_t> readRawS16(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::vector<int16_t> out;
    if (!f) return out;
    f.seekg(0, std::ios::end);
    const auto size = static_cast<size_t>(f.tellg());
    f.seekg(0);
    out.resize(size / 2);
    f.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size() * 2));
    return out;
}

bool writeRawS16(const std::string& path, const std::vector<int16_t>& samples)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 2));
    return static_cast<bool>(f);
}

long findSamples(const std::vector<int16_t>& hay, const std::vector<int16_t>& needle, int tolerance)
{
    if (needle.empty() || hay.size() < needle.size()) return -1;
    for (size_t start = 0; start + needle.size() <= hay.size(); ++start) {
        size_t i = 0;
        for (; i < needle.size(); ++i) {
            if (std::abs(hay[start + i] - needle[i]) > tolerance) break;
        }
        if (i == needle.size()) return static_cast<long>(start);
    }
    return -1;
}

bool TestAudioDevices::start(const std::vector<int16_t>& mic, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        stop();
        return false;
    };
    if (running()) return true;
    char tmpl[] = "/tmp/qaud.XXXXXX";
    if (!mkdtemp(tmpl)) return fail("mkdtemp failed");
    dir_ = tmpl;
    chmod(dir_.c_str(), 0700);
    mkdir((dir_ + "/run").c_str(), 0700);
    played_ = dir_ + "/played.raw";
    mic_ = dir_ + "/mic.raw";
    if (!writeRawS16(mic_, mic)) return fail("cannot write the microphone file");
    writeRawS16(played_, {});

    const std::string pa =
        "load-module module-native-protocol-unix socket=" + dir_ + "/native auth-anonymous=1\n"
        "load-module module-null-sink sink_name=spk rate=8000 channels=1 format=s16le norewinds=1 "
        "sink_properties=device.description=TestSpeaker\n"
        "load-module module-null-sink sink_name=micfeed rate=8000 channels=1 format=s16le norewinds=1 "
        "sink_properties=device.description=TestMicFeed\n"
        "set-default-sink spk\n"
        "set-default-source micfeed.monitor\n";
    const std::string alsa =
        "pcm.!default { type asym; playback.pcm \"test_play\"; capture.pcm \"test_mic\" }\n"
        "pcm.test_paced { type pulse }\n"
        "ctl.!default { type pulse }\n"
        "pcm.test_play { type file; slave.pcm \"test_paced\"\n"
        "  file { @func getenv vars [ TEST_AUDIO_PLAYED ] default \"/tmp/played.raw\" }; format \"raw\" }\n"
        "pcm.test_mic { type file; slave.pcm \"test_paced\"; file \"/dev/null\"\n"
        "  infile { @func getenv vars [ TEST_AUDIO_MIC ] default \"/tmp/mic.raw\" }; format \"raw\" }\n";
    if (!writeText(dir_ + "/test.pa", pa) || !writeText(dir_ + "/asound.conf", alsa))
        return fail("cannot write the configuration");

    setenv("PULSE_SERVER", ("unix:" + dir_ + "/native").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
    setenv("ALSA_CONFIG_PATH", (dir_ + "/asound.conf").c_str(), 1);
    setenv("TEST_AUDIO_PLAYED", played_.c_str(), 1);
    setenv("TEST_AUDIO_MIC", mic_.c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);

    const std::string conf = dir_ + "/test.pa";
    const std::string logTarget = "--log-target=file:" + dir_ + "/pulse.log";
    const char* argv[] = {"pulseaudio", "-n", "-F", conf.c_str(), "--daemonize=no",
                          "--exit-idle-time=-1", "--use-pid-file=no", "--realtime=no",
                          "--high-priority=no", "--disallow-exit", logTarget.c_str(), nullptr};
    pid_t pid = -1;
    if (posix_spawnp(&pid, "pulseaudio", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        return fail("cannot start pulseaudio");
    pid_ = pid;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!daemonAnswers()) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return fail("pulseaudio ended at start; see " + dir_ + "/pulse.log");
        }
        if (std::chrono::steady_clock::now() > deadline) return fail("pulseaudio does not answer");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

void TestAudioDevices::stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 100 && !ended; ++i) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) ended = true;
            else std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!ended) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    if (!dir_.empty() && !std::getenv("TEST_AUDIO_KEEP")) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    dir_.clear();
}

std::vector<int16_t> TestAudioDevices::played() const { return readRawS16(played_); }

bool TestAudioDevices::waitPlayed(size_t samples, int timeoutMs) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(played_, ec);
        if (!ec && size / 2 >= samples) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
