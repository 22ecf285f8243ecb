// Practice scoring on fixed inputs.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "practicescore.h"

namespace {

std::vector<PracticeCaptionWord> plain(const std::string& text, int64_t atMs = 0)
{
    return practiceCaptionWords({{text, atMs}});
}

std::string writeTemp(const std::string& text)
{
    char path[] = "/tmp/practicewordsXXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    return path;
}

}  // namespace

TEST(PracticeScore, NormalisesCaseAndPunctuation)
{
    EXPECT_EQ(practiceWords("Hi, it's ME... Twenty-five o'clock!\r\nOK?"),
              (std::vector<std::string>{"hi", "its", "me", "twenty", "five", "oclock", "ok"}));
    EXPECT_TRUE(practiceWords(" ,.;-- ").empty());
    // Bytes outside ASCII stay part of the word.
    EXPECT_EQ(practiceWords("caf\xc3\xa9 ok"), (std::vector<std::string>{"caf\xc3\xa9", "ok"}));
}

TEST(PracticeScore, WordErrorRateTable)
{
    const std::string passage = "please call me back this afternoon";  // 6 words
    struct Case {
        const char* name;
        const char* captions;
        int subs, dels, ins, matched;
        double accuracyPct;
    };
    const Case cases[] = {
        {"perfect", "Please call me back, this afternoon.", 0, 0, 0, 6, 100.0},
        {"missing word", "please call back this afternoon", 0, 1, 0, 5, 100.0 * 5 / 6},
        {"extra word", "please please call me back this afternoon", 0, 0, 1, 6, 100.0 * 5 / 6},
        {"wrong word", "please call me back this evening", 1, 0, 0, 5, 100.0 * 5 / 6},
        // Two neighbours swapped cost two edits, whichever way they are counted.
        {"reordered", "please call back me this afternoon", -1, -1, -1, -1, 100.0 * 4 / 6},
        {"empty captions", "", 0, 6, 0, 0, 0.0},
        // Far more errors than passage words: accuracy stops at 0.
        {"all wrong and longer", "x y z w v u t s r q", 6, 0, 4, 0, 0.0},
    };
    const auto ref = practiceWords(passage);
    ASSERT_EQ(ref.size(), 6u);
    for (const Case& c : cases) {
        const PracticeScore s = practiceScore(ref, {}, plain(c.captions));
        if (c.subs >= 0) {
            EXPECT_EQ(s.substitutions, c.subs) << c.name;
            EXPECT_EQ(s.deletions, c.dels) << c.name;
            EXPECT_EQ(s.insertions, c.ins) << c.name;
        } else {
            EXPECT_EQ(s.substitutions + s.deletions + s.insertions, 2) << c.name;
        }
        if (c.matched >= 0) {
            EXPECT_EQ(s.matched, c.matched) << c.name;
        }
        EXPECT_NEAR(s.accuracy * 100, c.accuracyPct, 1e-9) << c.name;
        EXPECT_EQ(s.wordsSpoken, 6) << c.name;
        EXPECT_EQ(s.wordsCaptioned, static_cast<int>(practiceWords(c.captions).size())) << c.name;
    }
    // No passage words: nothing captioned is perfect, anything captioned is all wrong.
    EXPECT_EQ(practiceScore({}, {}, {}).wer, 0.0);
    EXPECT_EQ(practiceScore({}, {}, plain("hello")).accuracy, 0.0);
}

TEST(PracticeScore, CaptionWordsAcrossDataAndBackspaces)
{
    // "prac" + "tice" is one word completed by the second DATA; a backspace
    // corrects "cll" to "cal" and then "call".
    const auto words = practiceCaptionWords({{"hello prac", 100}, {"tice cll\b\bal", 200}, {"l\n", 300}});
    ASSERT_EQ(words.size(), 3u);
    EXPECT_EQ(words[0].word, "hello");
    EXPECT_EQ(words[0].atMs, 100);
    EXPECT_EQ(words[1].word, "practice");
    EXPECT_EQ(words[1].atMs, 200);
    EXPECT_EQ(words[2].word, "call");
    EXPECT_EQ(words[2].atMs, 300);
    // Backspaces before any text remove nothing and do no harm.
    EXPECT_EQ(practiceCaptionWords({{"\b\b\bok", 5}}).size(), 1u);
}

TEST(PracticeScore, DelayFromSpokenWordToItsCaption)
{
    // Ten words spoken 300 ms apart; captions arrive in three DATA, one word
    // wrong ("dog" for "cat") and one left out ("seven").
    const auto ref = practiceWords("one two three four five six seven eight nine cat");
    std::vector<int64_t> refMs;
    for (int i = 0; i < 10; ++i) refMs.push_back(i * 300);
    const std::vector<PracticeCaptionChunk> chunks = {
        {"one two three ", 1000},   // delays 1000, 700, 400
        {"four five six ", 2500},   // 1600, 1300, 1000
        {"eight nine dog", 4000},   // 1900, 1600; dog unmatched
    };
    const PracticeScore s = practiceScore(ref, refMs, practiceCaptionWords(chunks));
    EXPECT_EQ(s.matched, 8);
    EXPECT_EQ(s.delayCount, 8);
    EXPECT_EQ(s.substitutions, 1);
    EXPECT_EQ(s.deletions, 1);
    // Sorted: 400 700 1000 1000 1300 1600 1600 1900; nearest rank 4 and 8.
    EXPECT_DOUBLE_EQ(s.delayMedianMs, 1000);
    EXPECT_DOUBLE_EQ(s.delayP90Ms, 1900);
    EXPECT_NEAR(s.accuracy, 0.8, 1e-12);
    // No word matched: no delay.
    EXPECT_EQ(practiceScore(ref, refMs, plain("nothing right", 10)).delayCount, 0);
}

TEST(PracticeScore, Percentiles)
{
    EXPECT_EQ(practicePercentile({}, 50), 0);
    EXPECT_EQ(practicePercentile({7}, 90), 7);
    EXPECT_EQ(practicePercentile({5, 1, 4, 2, 3}, 50), 3);
    std::vector<double> hundred;
    for (int i = 1; i <= 100; ++i) hundred.push_back(i);
    EXPECT_EQ(practicePercentile(hundred, 90), 90);
    EXPECT_EQ(practicePercentile(hundred, 0), 1);
}

TEST(PracticeScore, LongCaptionsAreCutNotAligned)
{
    // A flood of caption words is bounded; the words past the cap count as insertions.
    std::string flood;
    for (int i = 0; i < practiceMaxCaptionWords + 10; ++i) flood += "hello ";
    const PracticeScore s = practiceScore(practiceWords("hello there"), {}, plain(flood));
    EXPECT_EQ(s.matched, 1);
    // One match, one substitution, the rest inserted.
    EXPECT_EQ(s.substitutions, 1);
    EXPECT_EQ(s.insertions, practiceMaxCaptionWords + 10 - 2);
    EXPECT_EQ(s.accuracy, 0.0);
}

TEST(PracticeScore, WordTimingFile)
{
    std::vector<std::string> words;
    std::vector<int64_t> ms;
    std::string err;
    const std::string good = writeTemp("# start_ms\tword\n0\tHi,\n480\tit's\n900\twell-known.\n");
    ASSERT_TRUE(practiceReadWordTimes(good, &words, &ms, &err)) << err;
    EXPECT_EQ(words, (std::vector<std::string>{"hi", "its", "well", "known"}));
    EXPECT_EQ(ms, (std::vector<int64_t>{0, 480, 900, 900}));
    unlink(good.c_str());

    const char* bad[] = {"0\thi\nsoon\tthere\n", "0 hi\n", "500\thi\n100\tthere\n", "-5\thi\n"};
    for (const char* text : bad) {
        const std::string path = writeTemp(text);
        EXPECT_FALSE(practiceReadWordTimes(path, &words, &ms, &err)) << text;
        EXPECT_NE(err.find(path + ":"), std::string::npos) << err;
        unlink(path.c_str());
    }
    EXPECT_FALSE(practiceReadWordTimes("/nonexistent/x.words", &words, &ms, &err));
}

TEST(PracticeScore, EstimatedTimesFollowTheVoicedSpan)
{
    // 1 s of silence, 2 s of sound, 1 s of silence at 8 kHz; two words of
    // equal length share the voiced span.
    std::vector<int16_t> audio(8000, 0);
    for (int i = 0; i < 16000; ++i) audio.push_back(i % 2 ? 8000 : -8000);
    audio.insert(audio.end(), 8000, 0);
    const auto t = practiceEstimateWordTimes({"abc", "def"}, audio, 8000);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0], 1000);
    EXPECT_EQ(t[1], 2000);
}
