#include "sim/misbehaviours.h"

#include <algorithm>

namespace sim {

void Misbehaviours::AddFault(const Fault& fault, int count)
{
    for (int i = 0; i < count; ++i)
        faults.push_back(fault);
}

Fault Misbehaviours::NextFault()
{
    if (!faults.empty()) {
        Fault fault = std::move(faults.front());
        faults.pop_front();
        return fault;
    }
    return faultSource ? faultSource() : Fault::None();
}

void Misbehaviours::PlanTurn(uint8_t procedure, uint32_t call, Turn turn)
{
    turns.push_back(PlannedTurn{procedure, std::max<uint32_t>(call, 1), 0, turn});
}

std::optional<Turn> Misbehaviours::Heard(uint8_t procedure)
{
    // One turn a request: a second one due with it comes at the next.
    std::optional<Turn> due;
    for (auto planned = turns.begin(); planned != turns.end();) {
        if (planned->procedure == procedure)
            ++planned->heard;
        if (planned->procedure == procedure && planned->heard >= planned->call && !due) {
            due = planned->turn;
            planned = turns.erase(planned);
        } else {
            ++planned;
        }
    }
    return due;
}

} // namespace sim
