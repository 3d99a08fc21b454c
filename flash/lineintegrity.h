#pragma once
// What the line has shown of its damage during an upload, and what the host
// does about it.
//
// Every frame, and the cartridge's check of its buffer, is guarded by a
// 16-bit byte sum. Two flips of the same bit weight in opposite directions
// inside one frame keep both sums, so a block can arrive wrong and still be
// confirmed. The host cannot make the sums stronger, but it can ask the
// cartridge's sums of prefixes of the staged block: a pair of compensating
// flips is seen by every prefix that ends between them. Pairs in different
// frames are seen by the frames' own sums.
//
// The model: independent bit flips, a byte damaged with chance r. In a run
// of s bytes of one frame the expected number of damaged pairs is about
// s²r²/2; a pair compensates when both flips hit the same bit (1/8) in
// opposite directions (1/2): s²r²/32. Split into runs of s bytes by prefix
// checks, a block of n bytes passes wrong with a chance of about n·s·r²/32.
// The host chooses s so that this stays under kMostUnseenPerBlock, but
// never checks more often than every kShortestRun bytes: beyond a damage
// rate of about 4e-5 a byte that floor bounds the cost, and the chance is
// then n·kShortestRun·r²/32 (8e-5 for a 4 KiB block at 1e-4).
//
// Blocks confirmed before the line showed any damage had no such checks;
// where the damage seen later makes their chance n·c·r²/32 (c the chunk)
// exceed kMostUnseenUnchecked, the upload writes them again, checked.
//
// The line's damage rate is what this upload's transfer has seen of
// damaged requests: those the cartridge asked for again (0xFE) and, once it
// has, those left unanswered (a cartridge may say nothing to some), per
// byte carried. Damaged replies are the host's own to see and never reach
// the buffer; unanswered requests alone are no flips (lost or late, more
// likely); bytes skipped before a reply damaged no frame. Until the
// cartridge has asked for a request again the estimate is 0, and the host
// sends exactly what it always has. What the model leaves uncovered: a
// cartridge that never answers 0xFE shows no damage this way (its damaged
// requests look like lost ones), and pairs of flips before the first 0xFE
// are caught only by writing those blocks again.
//
// Requests that keep arriving damaged make the chunks smaller (halving, down
// to kSmallestChunk), and clean stretches grow them back.
#include <cstdint>
#include <vector>

#include "rpc/rpc.h"

class LineIntegrity
{
public:
    static constexpr double kMostUnseenPerBlock = 1e-5;
    // Writing a block again costs the block, not a few bytes: it is done
    // only where the chance is ten times the bound (a damage rate of about
    // 2e-5 a byte for 4 KiB blocks in 2 KiB chunks).
    static constexpr double kMostUnseenUnchecked = 1e-4;
    static constexpr uint32_t kShortestRun = 64;
    static constexpr uint32_t kLargestChunk = 2048;
    // At a damage rate of 1e-3 a byte a frame of this many bytes arrives
    // intact three times in four; the call overhead is then a tenth.
    static constexpr uint32_t kSmallestChunk = 256;
    // Chunks damaged in a row before the size halves, and clean ones in a
    // row before it doubles again.
    static constexpr int kDamagedToShrink = 2;
    static constexpr int kCleanToGrow = 8;

    // The transfer begins; `link` is what the link had met until then.
    void Begin(const CRpc::Stats& link);
    // Damage per byte seen since Begin: 0 until the line showed any.
    double DamageRate(const CRpc::Stats& link) const;
    // Where to check the sums of a block of `count` bytes staged in chunks
    // that began at `chunkStarts`: the prefix lengths, each inside a chunk.
    std::vector<uint32_t> Checkpoints(const std::vector<uint32_t>& chunkStarts, uint32_t count,
                                      double rate) const;

    // Whether a block of `count` bytes confirmed without sums of prefixes,
    // on a line now known to damage `rate` of its bytes, hides a pair with
    // a chance above kMostUnseenUnchecked: then it is worth sending again.
    bool WorthWritingAgain(uint32_t count, double rate) const;

    uint32_t ChunkSize() const { return chunk; }
    // A chunk went out: `damaged` when the line damaged it or its answer.
    void ChunkSent(bool damaged);
    // A chunk the link could not get through at all: the next is smaller.
    void ChunkFailed();

private:
    CRpc::Stats start;
    uint32_t chunk = kLargestChunk;
    int damagedRun = 0;
    int cleanRun = 0;
};
