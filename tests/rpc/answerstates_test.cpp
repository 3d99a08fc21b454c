// Where the device's answers stand and how an upload's stop runs, driven
// through their operations: each row is a story of events from a fresh
// start and where it must leave the count, the device and the attempts.
#include <gtest/gtest.h>

#include <string>

#include "rpc/answerbook.h"
#include "rpc/stoptoken.h"

namespace {

using Standing = AnswerBook::Standing;
using Hearing = AnswerBook::Hearing;
using Time = AnswerBook::Time;

// B call begins, S request sent, A answer seen, K the known answer, X a
// stray answer, E call ends, W owed answers written off after a silence,
// w written off though late answers came.
struct Story
{
    const char* events;
    Standing standing;
    Hearing hearing;
    uint32_t owed;
    uint8_t attempts; // of a call with 4
    const char* name;
};

AnswerBook Play(const char* events)
{
    AnswerBook book;
    for (const char* e = events; *e != '\0'; ++e) {
        const Time at{static_cast<int64_t>(e - events) * 1000};
        switch (*e) {
        case 'B': book.CallBegins(); break;
        case 'S': book.RequestSent(Time{500000}); break;
        case 'A': book.AnswerSeen(at); break;
        case 'K': book.KnownAnswerSeen(at); break;
        case 'X': book.StrayAnswerSeen(); break;
        case 'E': book.CallEnded(); break;
        case 'W': book.WriteOff(true); break;
        case 'w': book.WriteOff(false); break;
        default: ADD_FAILURE() << "no event " << *e;
        }
    }
    return book;
}

class AnswerStates : public ::testing::TestWithParam<Story>
{
};

TEST_P(AnswerStates, StoryEndsWhereTheTableSays)
{
    const Story& story = GetParam();
    const AnswerBook book = Play(story.events);
    EXPECT_EQ(book.GetStanding(), story.standing);
    EXPECT_EQ(book.GetHearing(), story.hearing);
    EXPECT_EQ(book.OwedCount(), story.owed);
    EXPECT_EQ(book.AttemptsFor(4), story.attempts);
}

INSTANTIATE_TEST_SUITE_P(
    Stories, AnswerStates,
    ::testing::Values(
        Story{"", Standing::InStep, Hearing::Unheard, 0, 4, "Fresh"},
        Story{"BS", Standing::Owed, Hearing::Unheard, 1, 4, "RequestOut"},
        Story{"BSAE", Standing::InStep, Hearing::Listening, 0, 4, "Answered"},
        // A booting cartridge's polls are forgotten, not waited for.
        Story{"BSSE", Standing::OutOfStep, Hearing::Unheard, 0, 4, "UnheardPollsForgotten"},
        Story{"BSAEBSSAE", Standing::Owed, Hearing::Listening, 1, 4, "RepeatLeavesOneOwed"},
        Story{"BSAEBSSAEw", Standing::OutOfStep, Hearing::Listening, 0, 4, "OwedWrittenOff"},
        // Answered once, then a whole call and its wait in silence: gone.
        Story{"BSAEBSEW", Standing::OutOfStep, Hearing::Silent, 0, 1, "SilentDevice"},
        Story{"BSAEBSEWBSAE", Standing::OutOfStep, Hearing::Listening, 0, 4, "SilentAnswersAgain"},
        Story{"BSAEBSSAEwBSSK", Standing::Owed, Hearing::Listening, 1, 4, "KnownAnswerBringsInStep"},
        Story{"BSAEBSSAEwBSAE", Standing::OutOfStep, Hearing::Listening, 0, 4, "AnyAnswerStaysOut"},
        // A stray answer is the device talking: it is not taken for gone.
        Story{"BSSEBSX", Standing::OutOfStep, Hearing::Listening, 0, 4, "StrayIsHeard"},
        Story{"BSSEBSXEW", Standing::OutOfStep, Hearing::Listening, 0, 4, "StrayCallWasAnswered"}),
    [](const ::testing::TestParamInfo<Story>& info) { return std::string(info.param.name); });

// The owed answers are waited for one time-out from the last of them.
TEST(AnswerStates, OwedAnswersAreAwaitedFromTheLastOneSeen)
{
    AnswerBook book = Play("BSAEBSS");
    book.AnswerSeen(Time{7000});
    EXPECT_EQ(book.OwedUntil(Time{200000}), Time{207000}) << "the shorter window counts";
    EXPECT_EQ(book.OwedUntil(Time{900000}), Time{507000});
}

struct StopStory
{
    const char* events; // a Ask, h Honour (its result in `honoured`), e End
    StopToken::Phase phase;
    bool lastHonoured;
};

class StopStates : public ::testing::TestWithParam<StopStory>
{
};

TEST_P(StopStates, StoryEndsInItsPhase)
{
    StopToken stop;
    bool honoured = false;
    for (const char* e = GetParam().events; *e != '\0'; ++e) {
        if (*e == 'a')
            stop.Ask();
        else if (*e == 'h')
            honoured = stop.Honour();
        else
            stop.End();
    }
    EXPECT_EQ(stop.Current(), GetParam().phase);
    EXPECT_EQ(honoured, GetParam().lastHonoured);
    EXPECT_EQ(stop.Pending(), GetParam().phase == StopToken::Phase::Asked);
    EXPECT_EQ(stop.InForce(), GetParam().phase != StopToken::Phase::None);
}

INSTANTIATE_TEST_SUITE_P(Stories, StopStates,
                         ::testing::Values(StopStory{"h", StopToken::Phase::None, false},
                                           StopStory{"a", StopToken::Phase::Asked, false},
                                           StopStory{"ah", StopToken::Phase::Closing, true},
                                           StopStory{"ahh", StopToken::Phase::Closing, false},
                                           StopStory{"aha", StopToken::Phase::Asked, true},
                                           StopStory{"ahe", StopToken::Phase::None, true},
                                           StopStory{"ae", StopToken::Phase::None, false}));

} // namespace
