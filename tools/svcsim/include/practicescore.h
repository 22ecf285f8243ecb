// Scoring of a practice call: how well the captions an agent sent match the
// passage that was played, and how late they came.
//   - Words are compared after normalising (lower case, punctuation dropped).
//   - Word error rate: the word-level edit distance (substitutions, deletions,
//     insertions, each costing 1) over the number of passage words; word
//     accuracy is 1 - WER, never below 0.
//   - Delay: for each passage word that the alignment of that edit distance
//     pairs with an equal caption word, the time from the word's start in the
//     passage to the arrival of the DATA that completed the caption word;
//     median and 90th percentile (nearest rank) over those words.
// Plain functions on plain records; no I/O except the timing-file reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Lower case (ASCII), apostrophes removed ("Don't" -> "dont"), every other
// ASCII character that is not a letter or digit ends the word; bytes above
// 0x7F are kept as they are.
std::vector<std::string> practiceWords(const std::string& text);

struct PracticeAlignment {
    int substitutions = 0;
    int deletions = 0;       // passage words missing from the captions
    int insertions = 0;      // caption words not in the passage
    // Pairs (passage word index, caption word index) that the alignment
    // matched with equal words, in order.
    std::vector<std::pair<int, int>> matches;
};

// Minimum word-level edit distance between ref and hyp with one optimal
// alignment. Captions longer than practiceMaxCaptionWords are cut there and
// the words beyond count as insertions.
PracticeAlignment practiceAlign(const std::vector<std::string>& ref, const std::vector<std::string>& hyp);
constexpr int practiceMaxCaptionWords = 20000;

// One DATA as it arrived: its text and its arrival time (ms, any origin).
struct PracticeCaptionChunk {
    std::string text;
    int64_t atMs = 0;
};
// A normalised caption word and the arrival time of the DATA that completed it.
struct PracticeCaptionWord {
    std::string word;
    int64_t atMs = 0;
};
// Joins the DATA texts in order (a word may be split across two DATA), applies
// backspaces (0x08 removes the character before it), and splits into
// normalised words.
std::vector<PracticeCaptionWord> practiceCaptionWords(const std::vector<PracticeCaptionChunk>& chunks);

// Nearest-rank percentile (p in 0..100) of values; 0 for no values.
double practicePercentile(std::vector<double> values, double p);

struct PracticeScore {
    int wordsSpoken = 0;      // passage words
    int wordsCaptioned = 0;   // caption words
    int matched = 0;
    int substitutions = 0, deletions = 0, insertions = 0;
    double wer = 0;           // 0..; above 1 when the captions add many words
    double accuracy = 0;      // 1 - wer, at least 0
    int delayCount = 0;       // matched words with a delay
    double delayMedianMs = 0;
    double delayP90Ms = 0;
};

// ref: the passage words (normalised) and each one's start (ms from the
// start of the voice); captions with arrival times on the same origin.
// refMs may be empty: then no delay is computed. With no passage words the
// WER is 0 for no captions and 1 otherwise.
PracticeScore practiceScore(const std::vector<std::string>& ref, const std::vector<int64_t>& refMs,
                            const std::vector<PracticeCaptionWord>& captions);

// The word timing file of a passage: lines "<start ms>\t<word as written>",
// '#' lines are comments. Gives the normalised words, each with the start of
// the written word it came from ("o'clock," -> "oclock"; "well-known" -> two
// words at one time). Returns false with a reason (file and line).
bool practiceReadWordTimes(const std::string& path, std::vector<std::string>* words, std::vector<int64_t>* ms,
                           std::string* error);

// Estimated word starts when no timing file exists: the voiced span of the
// audio (first to last sample above a small threshold) is shared among the
// words in proportion to their length in characters plus one (for the gap
// after each word). samples at rate Hz.
std::vector<int64_t> practiceEstimateWordTimes(const std::vector<std::string>& words,
                                               const std::vector<int16_t>& samples, int rate);
