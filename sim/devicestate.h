#pragma once
// Whether the simulated device has power and listens: one state, changed
// only through the engine's operations (DeviceEngine::StartBooting, Boot,
// SetSilent, SwitchOff, and its clock for the way back on).
namespace sim {

enum class DeviceState
{
    Answering, // booted: hears every request and answers it
    Booting,   // hears requests and answers none until it is booted (the cartridge: by handshakes)
    Silent,    // hears every request and answers none, until told to answer again (a device that died)
    Off,       // hears nothing: the bytes on the line meanwhile are lost; back on, it boots
};

} // namespace sim
