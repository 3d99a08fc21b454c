#pragma once
// The one stop of an upload, from the click on Cancel to the upload's end.
//
// Phase    event                               next     what it means
// None     Ask (Cancel, Exit, Ctrl-C)          Asked    every wait ends at once
// Asked    Honour (at a point the upload can   Closing  the closing calls still go out, each
//          end: before a chunk, after an                waiting briefly; a stalled write gives up
//          unanswered handshake, a broken commit)
// Closing  Ask                                 Asked    a second click is a new request
// any      End (the caller goes on: a new      None     waits are whole again
//          block write, a cancelled handshake)
// Whether a stop was asked for at all since the upload began outlives End:
// the upload's outcome is a cancel however its last call ended.
class StopToken
{
public:
    enum class Phase
    {
        None,
        Asked,
        Closing,
    };

    void Ask()
    {
        phase = Phase::Asked;
        asked = true;
    }
    // An upload begins: what earlier uploads asked for is forgotten, a stop
    // in force is not.
    void BeginUpload() { asked = phase != Phase::None; }
    // The upload ends here if a stop was asked for: true, and from now on
    // it only closes.
    bool Honour()
    {
        if (phase != Phase::Asked)
            return false;
        phase = Phase::Closing;
        return true;
    }
    void End() { phase = Phase::None; }

    Phase Current() const { return phase; }
    // Asked for and not yet honoured.
    bool Pending() const { return phase == Phase::Asked; }
    // Asked for at all: waits are cut short.
    bool InForce() const { return phase != Phase::None; }
    // Asked for since the upload began, whether or not it has ended since.
    bool WasAsked() const { return asked; }

private:
    Phase phase = Phase::None;
    bool asked = false;
};
