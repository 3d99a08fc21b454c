#pragma once
// Where the device's answers stand: which request the next answer belongs to.
//
// A reply names neither its procedure nor its request, and its length and
// timing are the device's to choose. What the device promises: it answers
// each request it hears once, in the order it heard them. So the link
// counts: while every request sent is answered or still counted, the next
// intact reply header answers the oldest request counted.
//
// Standing     event                               next        what the link may do
// InStep       request sent                        Owed        -
// Owed         answer seen                         InStep/Owed take it for the oldest request
// Owed         owed answers' time ran out          OutOfStep   (written off: any may still come)
// OutOfStep    the call's known answer seen        InStep/Owed all earlier answers are in or never come
// OutOfStep    any other answer                    OutOfStep   let it pass unless the call ignores answers
// any          call ends, device Unheard/Silent    OutOfStep   (its requests are forgotten, not waited for)
//
// Hearing      event                               next
// Unheard      any answer                          Listening
// Listening    a whole call unanswered, then its   Silent      (switched off, unplugged: one attempt a
//              owed answers' wait in silence                    call until it answers again)
// Silent       any answer                          Listening
//
// Only a read answer needs the answers in step; the link brings them there
// with a call whose answer its owner knows in advance (CRpc::CallInStep).
#include <algorithm>
#include <cstdint>

#include "serial/comm.h"

class AnswerBook
{
public:
    using Time = IComm::Time;

    enum class Standing
    {
        InStep,    // every request sent has been answered
        Owed,      // in step, with answers still to come for earlier requests
        OutOfStep, // answers were written off: any answer may be a late one
    };
    enum class Hearing
    {
        Unheard,   // the device has never answered (still booting, or absent)
        Listening, // it answers
        Silent,    // it answered once, then let a call and its owed answers pass unanswered
    };

    // More than one call's attempts and request repeats; the count is an
    // estimate beyond that anyway.
    static constexpr uint32_t kMostCounted = 64;

    Standing GetStanding() const { return standing; }
    Hearing GetHearing() const { return hearing; }
    bool InStep() const { return standing != Standing::OutOfStep; }
    bool AllAnswered() const { return standing == Standing::InStep; }
    uint32_t OwedCount() const { return standing == Standing::Owed ? owed : 0; }
    // Until when owed answers are waited for: the shorter of the time-out
    // they were sent under and `nextWindow`, from the moment the link last
    // stopped waiting for one or the last of them came.
    Time OwedUntil(Time nextWindow) const { return since + std::min(window, nextWindow); }
    // A device taken for silent gets one attempt a call, not a series.
    uint8_t AttemptsFor(uint8_t retries) const { return hearing == Hearing::Silent ? 1 : retries; }

    void CallBegins()
    {
        requestsOfCall = 0;
        callAnswered = false;
    }
    void RequestSent(Time replyWindow);
    // An intact reply header taken as the answer to the oldest request.
    void AnswerSeen(Time at);
    // The answer the call knew in advance: every request before the call's
    // first one has been answered or never will be; of the call's own
    // requests, all but one may still answer.
    void KnownAnswerSeen(Time at);
    // An intact answer the call could tell was not its own.
    void StrayAnswerSeen();
    // The link stopped waiting for an answer at `at`.
    void WaitEnded(Time at) { since = std::max(since, at); }
    void CallEnded();
    // The owed answers' time has passed: they are written off and the
    // answers are out of step. `silence`: not one of them came. The count
    // written off.
    uint32_t WriteOff(bool silence);

private:
    void Heard(Time at);
    // What is still counted will not be waited for.
    void Forget();

    Standing standing = Standing::InStep;
    Hearing hearing = Hearing::Unheard;
    uint32_t owed = 0;
    uint32_t requestsOfCall = 0;
    bool callAnswered = false;
    Time since{0};
    Time window{0};
};
