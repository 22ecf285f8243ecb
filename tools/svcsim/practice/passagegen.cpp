// passagegen: speaks a practice passage with the espeak-ng library and writes
//   OUT.wav    the speech at the synthesiser's own rate (16-bit mono; the
//              build converts it to 8 kHz afterwards)
//   OUT.words  one line per word of the text, in order: "<start ms>\t<word>"
// The word times come from the synthesiser's word events (the position in
// the generated audio where each word starts), so they hold for the 8 kHz
// copy as well. A build-time tool; the recordings are never copied in.
//
//   passagegen TEXT_FILE OUT_WAV OUT_WORDS [--voice NAME] [--rate WPM]
#include <espeak-ng/speak_lib.h>
#include <sndfile.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct WordEvent {
    int charPos;  // 0-based offset into the text
    int ms;
};

std::vector<short> g_audio;
std::vector<WordEvent> g_events;

int onSynth(short* wav, int numSamples, espeak_EVENT* events)
{
    if (wav != nullptr && numSamples > 0) g_audio.insert(g_audio.end(), wav, wav + numSamples);
    for (espeak_EVENT* e = events; e != nullptr && e->type != espeakEVENT_LIST_TERMINATED; ++e) {
        // text_position counts from 1 for the first character.
        if (e->type == espeakEVENT_WORD) g_events.push_back({e->text_position - 1, e->audio_position});
    }
    return 0;
}

struct Token {
    size_t begin, end;
    std::string text;
};

std::vector<Token> tokens(const std::string& text)
{
    std::vector<Token> out;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        const size_t b = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i > b) out.push_back({b, i, text.substr(b, i - b)});
    }
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: passagegen TEXT_FILE OUT_WAV OUT_WORDS [--voice NAME] [--rate WPM]\n");
        return 2;
    }
    std::string voice = "en-us";
    int rate = 160;
    for (int i = 4; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--voice") voice = argv[i + 1];
        else if (a == "--rate") rate = std::atoi(argv[i + 1]);
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::fprintf(stderr, "passagegen: cannot read %s\n", argv[1]);
        return 1;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();

    const int sampleRate = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 200, nullptr, 0);
    if (sampleRate <= 0) {
        std::fprintf(stderr, "passagegen: the speech synthesiser did not start\n");
        return 1;
    }
    if (espeak_SetVoiceByName(voice.c_str()) != EE_OK) {
        std::fprintf(stderr, "passagegen: no voice %s\n", voice.c_str());
        return 1;
    }
    espeak_SetParameter(espeakRATE, rate, 0);
    espeak_SetSynthCallback(onSynth);
    if (espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr, nullptr) !=
            EE_OK ||
        espeak_Synchronize() != EE_OK) {
        std::fprintf(stderr, "passagegen: synthesis failed\n");
        return 1;
    }
    espeak_Terminate();
    if (g_audio.empty() || g_events.empty()) {
        std::fprintf(stderr, "passagegen: no speech for %s\n", argv[1]);
        return 1;
    }

    // Each word of the text takes the time of the first word event that
    // starts inside it; a word without an event (the synthesiser joined it to
    // its neighbour) takes the time of the last event before it.
    const std::vector<Token> words = tokens(text);
    std::ofstream out(argv[3], std::ios::trunc);
    out << "# start_ms\tword (from the synthesiser's word events)\n";
    size_t ev = 0;
    int last = 0;
    for (const Token& w : words) {
        while (ev < g_events.size() && static_cast<size_t>(g_events[ev].charPos) < w.begin) last = g_events[ev++].ms;
        int ms = last;
        if (ev < g_events.size() && static_cast<size_t>(g_events[ev].charPos) < w.end) {
            ms = g_events[ev].ms;
            last = ms;
            while (ev < g_events.size() && static_cast<size_t>(g_events[ev].charPos) < w.end) ++ev;
        }
        out << ms << '\t' << w.text << '\n';
    }
    if (!out) {
        std::fprintf(stderr, "passagegen: cannot write %s\n", argv[3]);
        return 1;
    }

    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(argv[2], SFM_WRITE, &info);
    if (f == nullptr) {
        std::fprintf(stderr, "passagegen: cannot write %s\n", argv[2]);
        return 1;
    }
    sf_write_short(f, g_audio.data(), static_cast<sf_count_t>(g_audio.size()));
    sf_close(f);
    return 0;
}
