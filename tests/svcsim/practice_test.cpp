// The practice service end to end: the agent task logs in to the simulator,
// joins, takes the offered call and sends captions while the test plays the
// agent's console (answer, voice packet, DATA, CALL_REPORT,
// RELEASE_COMPLETE). Also the recordings on disk.
#include <cmath>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <fcntl.h>
#include <sys/wait.h>

#include "capatest.h"
#include "practice.h"

using namespace capatest;
namespace fs = std::filesystem;

namespace {

// A short passage: seven words 250 ms apart over 2 s of tone.
PracticePassage shortPassage()
{
    PracticePassage p;
    p.name = "short";
    p.audio.resize(16000);
    for (size_t i = 0; i < p.audio.size(); ++i) p.audio[i] = static_cast<int16_t>(5000 * std::sin(i * 0.35));
    p.words = {"hello", "this", "is", "a", "short", "practice", "call"};
    for (int i = 0; i < 7; ++i) p.wordMs.push_back(i * 250);
    return p;
}

std::string readFile(const std::string& path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream ss(text);
    for (std::string l; std::getline(ss, l);) out.push_back(l);
    return out;
}

std::vector<std::string> csvFields(const std::string& row)
{
    std::vector<std::string> out;
    std::stringstream ss(row);
    for (std::string f; std::getline(ss, f, ',');) out.push_back(f);
    if (!row.empty() && row.back() == ',') out.push_back("");
    return out;
}

class PracticeCall : public ::testing::Test {
protected:
    void SetUp() override
    {
        startRuntimeOnce();
        ASSERT_TRUE(settleLinks()) << "links of an earlier case still running";
        g_rec.clear();
        capcResetForTest();
        conContextReset();
        publishFakeWindow();
        char dir[] = "/tmp/practiceoutXXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        outDir_ = dir;
        udp_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(udp_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    }
    void TearDown() override
    {
        if (sim_) sim_->stop();     // no frame reaches the service after this
        if (svc_) svc_->stop();
        EXPECT_TRUE(settleLinks()) << "link threads still running: " << g_capcInfo.linkThreads.load();
        conSetWindowHooks(nullptr);
        close(udp_);
        fs::remove_all(outDir_);
    }

    // Logs the agent in to the service on port and joins it.
    void loginAndJoin(int port)
    {
        ASSERT_EQ(capcSocketStart("127.0.0.1", port), 0);
        ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_SOCK_OPEN) == 1; }));
        ASSERT_EQ(capcTxLogin(&g_capcInfo.link, "trainee", 7, "any", 3, nullptr, 2, 8, 4, 0), 0);
        CapxMsg m{};
        ASSERT_TRUE(waitForMessage(CAPX_LOGIN_ACK, &m));
        ASSERT_EQ(m.loginAck.result, 0);
        ASSERT_EQ(capcTxCaSvcState(1, 0), 0);
        ASSERT_TRUE(waitForMessage(CAPX_CA_SVC_STATE_ACK, &m));
        EXPECT_EQ(m.caSvcStateAck.inService, 1);
    }

    // Starts the simulator with the practice service and logs the agent in
    // and joins it.
    void startAndJoin(PracticeConfig pc)
    {
        pc.passages = {shortPassage()};
        pc.outDir = outDir_;
        SvcSimConfig sc;
        sc.linkKey = 7;  // DATA and ASSIGN_REQ travel scrambled
        sc.keepAlivePeriodMs = 300;
        sc.kaCurCaCount = 1;
        sim_ = std::make_unique<SvcSim>(sc);
        svc_ = std::make_unique<PracticeService>(std::move(pc));
        ASSERT_TRUE(svc_->attach(sim_.get())) << svc_->lastError();
        ASSERT_GT(sim_->start(), 0) << sim_->lastError();
        svc_->start();
        loginAndJoin(sim_->port());
    }

    // Waits for the next message with id; messages before it are passed over,
    // those after it stay for the next wait.
    bool waitForMessage(int id, CapxMsg* out, int timeoutMs = 5000)
    {
        return waitUntil([&] {
            for (const auto& m : drainMailbox()) {
                seen_.push_back(m.msgId);
                inbox_.push_back(m);
            }
            while (!inbox_.empty()) {
                const CapxMsg m = inbox_.front();
                inbox_.pop_front();
                if (m.msgId == id) {
                    *out = m;
                    return true;
                }
            }
            return false;
        }, timeoutMs);
    }

    // Answers the offer and starts the voice as the console would; returns
    // the moment CAP_START reached the agent.
    std::chrono::steady_clock::time_point answerUntilCapStart()
    {
        CapxMsg m{};
        EXPECT_TRUE(waitForMessage(CAPX_BROADCAST, &m));
        capcSetCaState(2);
        EXPECT_EQ(capcTxAssignReq(), 0);
        EXPECT_TRUE(waitForMessage(CAPX_ASSIGN_COMPLETE, &m));
        capcSetCaState(4);
        EXPECT_TRUE(waitForMessage(CAPX_VOIP_SETUP, &m));
        EXPECT_STREQ(m.voipSetup.ipAddr, "127.0.0.1");
        if (svc_) {
            EXPECT_EQ(m.voipSetup.portId, svc_->voicePort());
        }
        sendRtp(m.voipSetup.portId);
        EXPECT_EQ(capcTxVoipSetupComplete(0), 0);
        EXPECT_TRUE(waitForMessage(CAPX_CONTROL, &m));
        EXPECT_EQ(m.control.control, 1);  // CAP_START
        return std::chrono::steady_clock::now();
    }

    // One PCMU packet of silence: the voice endpoint learns where to stream.
    void sendRtp(int port)
    {
        uint8_t pkt[12 + 160] = {0x80, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0x02, 0x08};
        std::memset(pkt + 12, 0xFF, 160);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<uint16_t>(port));
        ASSERT_EQ(sendto(udp_, pkt, sizeof pkt, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(sizeof pkt));
    }

    int voicePacketsReceived()
    {
        int n = 0;
        uint8_t buf[2048];
        while (recv(udp_, buf, sizeof buf, MSG_DONTWAIT) > 0) ++n;
        return n;
    }

    void sendCaption(const std::string& text) { ASSERT_EQ(capcTxData(static_cast<int>(text.size()), text.c_str()), 0); }

    // The console's end of a call released by the service.
    void completeRelease()
    {
        EXPECT_EQ(capcTxCallReport(0, 0, 30, 3, 100, 0), 0);
        EXPECT_EQ(capcTxReleaseComplete(), 0);
    }

    std::string outDir_;
    std::vector<int> seen_;  // ids of the messages the agent received
    std::deque<CapxMsg> inbox_;
    int udp_ = -1;
    std::unique_ptr<SvcSim> sim_;
    std::unique_ptr<PracticeService> svc_;
};

}  // namespace

TEST_F(PracticeCall, WholeCallIsScoredAndWritten)
{
    PracticeConfig pc;
    pc.intervalMs = 60000;  // one call in this test
    pc.firstOfferMs = 100;
    pc.tailMs = 1500;
    startAndJoin(pc);
    const auto capStart = answerUntilCapStart();

    // The captioner: words at 0, 250 ... 1500 ms; each DATA goes out a set
    // time after the start, one word split across two DATA, one word wrong.
    auto at = [&](int ms) { std::this_thread::sleep_until(capStart + std::chrono::milliseconds(ms)); };
    at(1000);
    sendCaption("Hello, this is ");   // delays 1000, 750, 500
    at(2000);
    sendCaption("a short prac");      // 1250, 1000
    at(2500);
    sendCaption("tice hall ");        // practice: 1250; "hall" for "call"
    CapxMsg m{};
    ASSERT_TRUE(waitForMessage(CAPX_RELEASE, &m, 8000));
    const auto releasedAt = std::chrono::steady_clock::now();
    // Not before the passage (2 s) and its tail (1.5 s) are over.
    EXPECT_GE(releasedAt - capStart, std::chrono::milliseconds(3400));
    EXPECT_GT(voicePacketsReceived(), 50);  // the passage was streamed to the agent
    completeRelease();

    ASSERT_TRUE(svc_->waitSummaries(1, 5000));
    const std::string line = svc_->summaries()[0];
    EXPECT_EQ(line.rfind("practice call 1: short, words spoken 7, words captioned 7, word accuracy 85.7 %, delay median ",
                         0),
              0u)
        << line;
    EXPECT_EQ(line.find("ended"), std::string::npos) << line;

    // The text file holds the same line; the CSV a header and one row.
    const auto txt = lines(readFile(svc_->textPath()));
    ASSERT_EQ(txt.size(), 1u);
    EXPECT_NE(txt[0].find(line), std::string::npos);
    const auto csv = lines(readFile(svc_->csvPath()));
    ASSERT_EQ(csv.size(), 2u);
    EXPECT_EQ(csv[0], "time,call,passage,words_spoken,words_captioned,words_matched,word_accuracy_pct,wer_pct,"
                      "delay_median_s,delay_p90_s,ended");
    const auto f = csvFields(csv[1]);
    ASSERT_EQ(f.size(), 11u) << csv[1];
    EXPECT_EQ(f[1], "1");
    EXPECT_EQ(f[2], "short");
    EXPECT_EQ(f[3], "7");
    EXPECT_EQ(f[4], "7");
    EXPECT_EQ(f[5], "6");
    EXPECT_EQ(f[6], "85.7");
    EXPECT_EQ(f[7], "14.3");
    EXPECT_EQ(f[10], "released");
    // Delays 500 750 1000 1000 1250 1250 ms after the voice started; the voice
    // started before CAP_START reached the agent, so the figures are not
    // below them, and late by at most a margin.
    const double median = std::stod(f[8]), p90 = std::stod(f[9]);
    EXPECT_GE(median, 1.0);
    EXPECT_LE(median, 1.0 + 0.4);
    EXPECT_GE(p90, 1.25);
    EXPECT_LE(p90, 1.25 + 0.4);
}

TEST_F(PracticeCall, UnansweredOfferIsWithdrawnAndMadeAgain)
{
    PracticeConfig pc;
    pc.intervalMs = 300;
    pc.firstOfferMs = 100;
    pc.offerMs = 500;
    startAndJoin(pc);
    CapxMsg m{};
    ASSERT_TRUE(waitForMessage(CAPX_BROADCAST, &m));
    const auto offeredAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitForMessage(CAPX_RELEASE, &m));
    EXPECT_GE(std::chrono::steady_clock::now() - offeredAt, std::chrono::milliseconds(450));
    // The simulator counts the withdrawal after it has sent the RELEASE.
    EXPECT_TRUE(waitUntil([this] { return svc_->withdrawn() == 1; }));
    // The console answers a release even without a call.
    completeRelease();
    ASSERT_TRUE(waitForMessage(CAPX_BROADCAST, &m));
    EXPECT_TRUE(svc_->summaries().empty());
    // Pausing while offered withdraws the offer too, and no offer follows.
    ASSERT_EQ(capcTxCaSvcState(0, 0), 0);
    ASSERT_TRUE(waitForMessage(CAPX_RELEASE, &m));
    completeRelease();
    EXPECT_FALSE(waitForMessage(CAPX_BROADCAST, &m, 1000));
}

TEST_F(PracticeCall, AgentReleaseMidCallScoresWhatWasSpoken)
{
    PracticeConfig pc;
    pc.intervalMs = 60000;
    pc.firstOfferMs = 100;
    startAndJoin(pc);
    const auto capStart = answerUntilCapStart();
    sendCaption("hello this ");
    // Words at 0, 250, 500 and 750 ms have been spoken by 900 ms.
    std::this_thread::sleep_until(capStart + std::chrono::milliseconds(900));
    ASSERT_EQ(capcTxRelease(57), 0);
    ASSERT_TRUE(svc_->waitSummaries(1, 5000));
    const std::string line = svc_->summaries()[0];
    EXPECT_NE(line.find("words spoken 4, words captioned 2, word accuracy 50.0 %"), std::string::npos) << line;
    EXPECT_NE(line.find("ended: agent released (cause 57)"), std::string::npos) << line;
}

TEST_F(PracticeCall, NoVoiceFromTheAgentReleasesTheCall)
{
    PracticeConfig pc;
    pc.intervalMs = 60000;
    pc.firstOfferMs = 100;
    pc.voiceWaitMs = 500;
    startAndJoin(pc);
    CapxMsg m{};
    ASSERT_TRUE(waitForMessage(CAPX_BROADCAST, &m));
    ASSERT_EQ(capcTxAssignReq(), 0);
    ASSERT_TRUE(waitForMessage(CAPX_VOIP_SETUP, &m));
    ASSERT_EQ(capcTxVoipSetupComplete(0), 0);
    // No RTP packet: no CAP_START, and the call is released.
    ASSERT_TRUE(waitForMessage(CAPX_RELEASE, &m));
    EXPECT_EQ(std::count(seen_.begin(), seen_.end(), CAPX_CONTROL), 0);
    completeRelease();
    EXPECT_TRUE(svc_->summaries().empty());
}

// The program: recordings from a folder, one call, the summary on standard
// output and in the files, then it ends by itself.
TEST_F(PracticeCall, ProgramPlaysOneCallAndExits)
{
    const std::string rec = outDir_ + "/rec", results = outDir_ + "/results", out = outDir_ + "/stdout";
    fs::create_directories(rec);
    const PracticePassage p = shortPassage();
    ASSERT_TRUE(svcVoiceWriteWav(rec + "/short.wav", p.audio));
    std::ofstream(rec + "/short.words") << "0\tHello\n250\tthis\n500\tis\n750\ta\n1000\tshort\n1250\tpractice\n1500\tcall.\n";
    const int port = unusedPort();
    // The runtime's threads run in this process: the child only calls what
    // is safe after fork (no allocation), so everything is made before.
    const std::string portText = std::to_string(port);
    const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(outFd, 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(outFd, 1);
        execl(SVCSIM_PATH, "svcsim", "--practice", "-p", portText.c_str(), "--practice-dir", rec.c_str(),
              "--practice-out", results.c_str(), "--practice-interval", "0.2", "--practice-tail", "0.5",
              "--practice-calls", "1", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(outFd);
    // The program listens once it has loaded the recordings.
    ASSERT_TRUE(waitUntil([&] {
        const int s = connectLoopback(port);
        if (s >= 0) close(s);
        return s >= 0;
    }, 10000));
    loginAndJoin(port);
    answerUntilCapStart();
    sendCaption("hello this is a short practice call ");
    CapxMsg m{};
    ASSERT_TRUE(waitForMessage(CAPX_RELEASE, &m, 8000));
    completeRelease();
    int status = -1;
    ASSERT_TRUE(waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10000));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string printed = readFile(out);
    EXPECT_NE(printed.find("practice call 1: short, words spoken 7, words captioned 7, word accuracy 100.0 %"),
              std::string::npos)
        << printed;
    EXPECT_EQ(lines(readFile(results + "/practice.csv")).size(), 2u);
    EXPECT_EQ(lines(readFile(results + "/practice.txt")).size(), 1u);
}

// ---- recordings ----------------------------------------------------------------------------

namespace {

void writeText(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text;
}

}  // namespace

TEST(PracticeRecordings, LoadsAFolderAndRejectsBadFiles)
{
    char tmp[] = "/tmp/practicedirXXXXXX";
    ASSERT_NE(mkdtemp(tmp), nullptr);
    const std::string dir = tmp;
    std::vector<PracticePassage> got;
    std::string err;
    EXPECT_FALSE(practiceLoadDir(dir, &got, &err));
    EXPECT_NE(err.find("no practice recordings"), std::string::npos) << err;

    std::vector<int16_t> tone(8000);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>(4000 * std::sin(i * 0.3));
    ASSERT_TRUE(svcVoiceWriteWav(dir + "/b.wav", tone));
    writeText(dir + "/b.words", "0\tGood\n400\tmorning.\n");
    ASSERT_TRUE(svcVoiceWriteWav(dir + "/a.wav", tone));
    writeText(dir + "/a.txt", "Just text here\n");
    ASSERT_TRUE(svcVoiceWriteWav(dir + "/c.wav", tone));
    ASSERT_TRUE(practiceLoadDir(dir, &got, &err)) << err;
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].name, "a");
    EXPECT_EQ(got[0].words, (std::vector<std::string>{"just", "text", "here"}));
    EXPECT_TRUE(got[0].timesEstimated);
    EXPECT_EQ(got[0].wordMs.size(), 3u);
    EXPECT_EQ(got[1].name, "b");
    EXPECT_EQ(got[1].wordMs, (std::vector<int64_t>{0, 400}));
    EXPECT_FALSE(got[1].timesEstimated);
    EXPECT_EQ(got[2].name, "c");  // audio only: played, not scored
    EXPECT_TRUE(got[2].words.empty());
    EXPECT_EQ(got[2].audio.size(), 8000u);

    // A broken timing file or a recording that is not 8 kHz stops the load with its name.
    writeText(dir + "/b.words", "0\tGood\nlater\tmorning\n");
    EXPECT_FALSE(practiceLoadDir(dir, &got, &err));
    EXPECT_NE(err.find("b.words:2"), std::string::npos) << err;
    writeText(dir + "/b.words", "0\tGood\n");
    writeText(dir + "/d.wav", "RIFF not really a wave file");
    EXPECT_FALSE(practiceLoadDir(dir, &got, &err));
    EXPECT_NE(err.find("d.wav"), std::string::npos) << err;
    fs::remove_all(dir);
}

#ifdef PRACTICE_RECORDINGS_DIR
// The recordings the build spoke: every word of each text has a time, in
// order, inside its recording; a minute or two in all.
TEST(PracticeRecordings, BuiltPassagesAreTimedWordForWord)
{
    std::vector<PracticePassage> got;
    std::string err;
    ASSERT_TRUE(practiceLoadDir(PRACTICE_RECORDINGS_DIR, &got, &err)) << err;
    ASSERT_GE(got.size(), 3u);
    double total = 0;
    for (const auto& p : got) {
        const double seconds = static_cast<double>(p.audio.size()) / 8000.0;
        total += seconds;
        EXPECT_GE(seconds, 10.0) << p.name;
        EXPECT_LE(seconds, 40.0) << p.name;
        EXPECT_FALSE(p.timesEstimated) << p.name;
        EXPECT_EQ(p.words, practiceWords(readFile(std::string(PRACTICE_RECORDINGS_DIR) + "/" + p.name + ".txt")))
            << p.name;
        ASSERT_EQ(p.wordMs.size(), p.words.size());
        EXPECT_EQ(p.wordMs.front(), 0) << p.name;
        EXPECT_TRUE(std::is_sorted(p.wordMs.begin(), p.wordMs.end())) << p.name;
        // Words spread over the recording, the last one well inside it.
        EXPECT_GT(p.wordMs.back(), seconds * 1000 * 0.7) << p.name;
        EXPECT_LT(p.wordMs.back(), seconds * 1000) << p.name;
        // Speech, not silence: some loud samples.
        EXPECT_GT(*std::max_element(p.audio.begin(), p.audio.end()), 8000) << p.name;
    }
    EXPECT_GE(total, 45.0);
    EXPECT_LE(total, 150.0);
}
#endif
