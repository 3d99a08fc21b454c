#pragma once
// What the simulated device is to do wrong, and when: faults for its next
// replies (a queue, then a source such as a seeded generator), and turns of
// its state at a chosen request (it falls silent, or is switched off for a
// while). The engine tells it of every request it hears, whatever the
// device's state and whatever a fault then does with the request, so a turn
// "at the third LoadBuffer" counts the host's third LoadBuffer.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "sim/fault.h"

namespace sim {

// A change of the device's state that a request brings.
struct Turn
{
    enum class Kind
    {
        FallSilent, // from this request on, it answers nothing
        SwitchOff,  // it never hears this request, and nothing for `offFor`; then it boots
    };

    Kind kind = Kind::FallSilent;
    std::chrono::microseconds offFor{0};

    static Turn FallSilent() { return Turn{}; }
    static Turn SwitchOff(std::chrono::microseconds offFor) { return Turn{Kind::SwitchOff, offFor}; }
};

class Misbehaviours
{
public:
    // Asked for a fault for each reply while the queue is empty; returns
    // Fault::None() for a clean reply.
    using FaultSource = std::function<Fault()>;

    // Faults for the next `count` replies, after those already queued.
    void AddFault(const Fault& fault, int count);
    void SetFaultSource(FaultSource source) { faultSource = std::move(source); }
    size_t PendingFaults() const { return faults.size(); }
    void ClearFaults() { faults.clear(); }
    // The fault for the reply about to go out.
    Fault NextFault();
    // A fault that found no reply to change: it goes to the next one.
    void KeepFault(Fault fault) { faults.push_front(std::move(fault)); }

    // `turn` at the `call`-th request of `procedure` (1: the first), once.
    void PlanTurn(uint8_t procedure, uint32_t call, Turn turn);
    // Told of every request heard; the turn it brings, if any.
    std::optional<Turn> Heard(uint8_t procedure);

private:
    struct PlannedTurn
    {
        uint8_t procedure = 0;
        uint32_t call = 1;
        uint32_t heard = 0;
        Turn turn;
    };

    std::deque<Fault> faults;
    FaultSource faultSource;
    std::vector<PlannedTurn> turns;
};

} // namespace sim
