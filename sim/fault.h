#pragma once
// What can go wrong with one reply of the simulated device: the faults a
// real line or a confused cartridge produce, one per reply.
#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

namespace sim {

struct Fault
{
    enum class Kind
    {
        None,
        Noise,            // `bytes` go out on the line before the reply
        DamagedHeaderSum, // the reply header's checksum arrives wrong
        DamagedDataSum,   // the reply data's checksum arrives wrong
        Dropped,          // the request is carried out, its reply lost on the line
        AskAgain,         // the device answers 0xFE and does not carry the request out
        UnknownCode,      // the device answers `code` (no data) and does not carry it out
        Late,             // the reply leaves `delay` later than it would have
        Silent,           // the device never hears the request: nothing happens
    };

    Kind kind = Kind::None;
    std::vector<uint8_t> bytes; // Noise: the bytes before the reply
    uint8_t code = 0x00;        // UnknownCode: the code answered
    std::chrono::milliseconds delay{0}; // Late: how much later the reply leaves

    // Past the host's usual 1,000 ms reply time-out, well within its next attempt.
    static constexpr std::chrono::milliseconds kDefaultLateness{1500};

    static Fault None() { return Fault{}; }
    static Fault Noise(std::vector<uint8_t> noise) { return Of(Kind::Noise, std::move(noise)); }
    static Fault DamagedHeaderSum() { return Of(Kind::DamagedHeaderSum); }
    static Fault DamagedDataSum() { return Of(Kind::DamagedDataSum); }
    static Fault Dropped() { return Of(Kind::Dropped); }
    static Fault AskAgain() { return Of(Kind::AskAgain); }
    static Fault UnknownCode(uint8_t replyCode) { return Of(Kind::UnknownCode, {}, replyCode); }
    static Fault Late(std::chrono::milliseconds by = kDefaultLateness)
    {
        Fault fault = Of(Kind::Late);
        fault.delay = by;
        return fault;
    }
    static Fault Silent() { return Of(Kind::Silent); }

    static Fault Of(Kind kind, std::vector<uint8_t> bytes = {}, uint8_t code = 0x00)
    {
        Fault fault;
        fault.kind = kind;
        fault.bytes = std::move(bytes);
        fault.code = code;
        return fault;
    }

    // Whether the device still carries out the request it heard.
    bool LetsRequestRun() const
    {
        return kind != Kind::AskAgain && kind != Kind::UnknownCode && kind != Kind::Silent;
    }
};

} // namespace sim
