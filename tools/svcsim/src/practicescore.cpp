// Practice scoring: word normalisation, word-level edit distance with its
// alignment, caption word arrival times, percentiles, timing files.
#include "practicescore.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>

namespace {

bool isWordByte(unsigned char c) { return c >= 0x80 || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Splits text into normalised words; for each word also the index of the
// byte that ended it (its last byte), so callers can map words back to
// the input.
void splitWords(const std::string& text, std::vector<std::string>* words, std::vector<size_t>* lastByte)
{
    std::string cur;
    size_t last = 0;
    auto flush = [&] {
        if (cur.empty()) return;
        words->push_back(cur);
        if (lastByte) lastByte->push_back(last);
        cur.clear();
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\'') continue;  // "don't" and "dont" are the same word
        if (!isWordByte(c)) {
            flush();
            continue;
        }
        cur.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c));
        last = i;
    }
    flush();
}

}  // namespace

std::vector<std::string> practiceWords(const std::string& text)
{
    std::vector<std::string> out;
    splitWords(text, &out, nullptr);
    return out;
}

PracticeAlignment practiceAlign(const std::vector<std::string>& ref, const std::vector<std::string>& hypIn)
{
    PracticeAlignment a;
    const size_t m = hypIn.size() > static_cast<size_t>(practiceMaxCaptionWords)
                         ? static_cast<size_t>(practiceMaxCaptionWords) : hypIn.size();
    const int extra = static_cast<int>(hypIn.size() - m);
    const size_t n = ref.size();
    // Full cost table for the backtrace; (n+1) x (m+1) ints stays small for
    // passages of a few hundred words and the caption cap above.
    std::vector<int> d((n + 1) * (m + 1));
    auto at = [&](size_t i, size_t j) -> int& { return d[i * (m + 1) + j]; };
    for (size_t i = 0; i <= n; ++i) at(i, 0) = static_cast<int>(i);
    for (size_t j = 0; j <= m; ++j) at(0, j) = static_cast<int>(j);
    for (size_t i = 1; i <= n; ++i)
        for (size_t j = 1; j <= m; ++j) {
            const int diag = at(i - 1, j - 1) + (ref[i - 1] == hypIn[j - 1] ? 0 : 1);
            at(i, j) = std::min({diag, at(i - 1, j) + 1, at(i, j - 1) + 1});
        }
    // Backtrace from the end; prefers the diagonal so that equal words pair up.
    size_t i = n, j = m;
    while (i > 0 || j > 0) {
        if (i > 0 && j > 0 && at(i, j) == at(i - 1, j - 1) + (ref[i - 1] == hypIn[j - 1] ? 0 : 1)) {
            if (ref[i - 1] == hypIn[j - 1]) a.matches.emplace_back(static_cast<int>(i - 1), static_cast<int>(j - 1));
            else ++a.substitutions;
            --i;
            --j;
        } else if (i > 0 && at(i, j) == at(i - 1, j) + 1) {
            ++a.deletions;
            --i;
        } else {
            ++a.insertions;
            --j;
        }
    }
    std::reverse(a.matches.begin(), a.matches.end());
    a.insertions += extra;
    return a;
}

std::vector<PracticeCaptionWord> practiceCaptionWords(const std::vector<PracticeCaptionChunk>& chunks)
{
    // The caption stream with, for each byte, the chunk it came in.
    std::string text;
    std::vector<size_t> from;
    for (size_t k = 0; k < chunks.size(); ++k) {
        for (char ch : chunks[k].text) {
            if (ch == '\b') {
                if (!text.empty()) {
                    text.pop_back();
                    from.pop_back();
                }
                continue;
            }
            text.push_back(ch);
            from.push_back(k);
        }
    }
    std::vector<std::string> words;
    std::vector<size_t> lastByte;
    splitWords(text, &words, &lastByte);
    std::vector<PracticeCaptionWord> out;
    out.reserve(words.size());
    for (size_t w = 0; w < words.size(); ++w) out.push_back({words[w], chunks[from[lastByte[w]]].atMs});
    return out;
}

double practicePercentile(std::vector<double> v, double p)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    // Nearest rank: the smallest value with at least p% of the values at or below it.
    double rank = std::ceil(p / 100.0 * static_cast<double>(v.size()));
    if (rank < 1) rank = 1;
    const size_t idx = std::min(v.size(), static_cast<size_t>(rank)) - 1;
    return v[idx];
}

PracticeScore practiceScore(const std::vector<std::string>& ref, const std::vector<int64_t>& refMs,
                            const std::vector<PracticeCaptionWord>& captions)
{
    PracticeScore s;
    std::vector<std::string> hyp;
    hyp.reserve(captions.size());
    for (const auto& c : captions) hyp.push_back(c.word);
    const PracticeAlignment a = practiceAlign(ref, hyp);
    s.wordsSpoken = static_cast<int>(ref.size());
    s.wordsCaptioned = static_cast<int>(hyp.size());
    s.matched = static_cast<int>(a.matches.size());
    s.substitutions = a.substitutions;
    s.deletions = a.deletions;
    s.insertions = a.insertions;
    const int errors = a.substitutions + a.deletions + a.insertions;
    if (ref.empty()) s.wer = hyp.empty() ? 0.0 : 1.0;
    else s.wer = static_cast<double>(errors) / static_cast<double>(ref.size());
    s.accuracy = std::max(0.0, 1.0 - s.wer);
    if (refMs.size() == ref.size()) {
        std::vector<double> delays;
        delays.reserve(a.matches.size());
        for (const auto& [r, h] : a.matches) delays.push_back(static_cast<double>(captions[h].atMs - refMs[r]));
        s.delayCount = static_cast<int>(delays.size());
        s.delayMedianMs = practicePercentile(delays, 50);
        s.delayP90Ms = practicePercentile(delays, 90);
    }
    return s;
}

bool practiceReadWordTimes(const std::string& path, std::vector<std::string>* words, std::vector<int64_t>* ms,
                           std::string* error)
{
    std::ifstream f(path);
    if (!f) {
        if (error) *error = path + ": cannot open";
        return false;
    }
    words->clear();
    ms->clear();
    std::string line;
    int no = 0;
    while (std::getline(f, line)) {
        ++no;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const size_t tab = line.find('\t');
        char* end = nullptr;
        const long long t = std::strtoll(line.c_str(), &end, 10);
        if (tab == std::string::npos || end != line.c_str() + tab || tab == 0 || t < 0 ||
            (!ms->empty() && t < ms->back())) {
            if (error) *error = path + ":" + std::to_string(no) + ": expected \"<start ms>\\t<word>\" in time order";
            return false;
        }
        for (auto& w : practiceWords(line.substr(tab + 1))) {
            words->push_back(std::move(w));
            ms->push_back(t);
        }
    }
    return true;
}

std::vector<int64_t> practiceEstimateWordTimes(const std::vector<std::string>& words,
                                               const std::vector<int16_t>& samples, int rate)
{
    std::vector<int64_t> out;
    if (words.empty() || rate <= 0) return out;
    // Voiced span: first and last sample louder than about -40 dBFS.
    const int threshold = 328;
    size_t first = 0, last = samples.size();
    while (first < samples.size() && std::abs(samples[first]) < threshold) ++first;
    while (last > first && std::abs(samples[last - 1]) < threshold) --last;
    if (first >= last) {
        first = 0;
        last = samples.size();
    }
    size_t total = 0;
    for (const auto& w : words) total += w.size() + 1;
    size_t before = 0;
    for (const auto& w : words) {
        const double pos = static_cast<double>(first) +
                           static_cast<double>(last - first) * static_cast<double>(before) / static_cast<double>(total);
        out.push_back(static_cast<int64_t>(pos * 1000.0 / rate));
        before += w.size() + 1;
    }
    return out;
}
