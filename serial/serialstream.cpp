#include "serial/serialstream.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "serial/invariant.h"

namespace {

constexpr char kSource[] = "serialstream";
constexpr int32_t kRingMask = CSerialStream::kBufferSize - 1;
static_assert((CSerialStream::kBufferSize & kRingMask) == 0, "the ring wraps with a mask");

constexpr int32_t kInitialSpeed = 9600;
constexpr int32_t kInitialDataBits = 8;
constexpr char kInitialParity = 'n';
constexpr int32_t kInitialStopBits = 1;

constexpr int32_t kDiscardChunk = 100;
// A modem echoes the command and answers within a few characters' time; the
// pauses give it that time before the command is repeated.
constexpr std::chrono::milliseconds kModemPause{100};
constexpr int32_t kModemAnswerTimeoutMs = 100;
constexpr int32_t kModemAnswerSize = 100;
constexpr uint8_t kAttention[] = {'\r', '\n', 'A', 'T', '\r', '\n'};

[[noreturn]] void Fail(int32_t code, int line)
{
    ThrowSerialStreamError(code, kSource, line);
}

bool IsParityLetter(char letter)
{
    return letter != '\0' && std::strchr("EMNOSemnos", letter) != nullptr;
}

// "<direction>:<port>: [0xAB][0xCD]...\n" for a transfer, when tracing: one
// line, written whole, so that several ports' traces interleave by lines.
void TraceBytes(const char* direction, const std::string& portName, const uint8_t* bytes,
                int32_t count)
{
    if (traceEnabled == 0)
        return;
    std::string line;
    line.reserve(static_cast<std::size_t>(count) * 6 + 1);
    char hex[8];
    for (int32_t i = 0; i < count; ++i) {
        std::snprintf(hex, sizeof hex, "[0x%02X]", static_cast<unsigned>(bytes[i]));
        line += hex;
    }
    TraceLog("%s:%s: %s\n", direction, portName.c_str(), line.c_str());
}

bool ContainsOk(const uint8_t* answer, int32_t count)
{
    for (int32_t i = 0; i + 1 < count; ++i)
        if (answer[i] == 'O' && answer[i + 1] == 'K')
            return true;
    return false;
}

} // namespace

CSerialStream::CSerialStream()
    : handle(-1),
      speed(kInitialSpeed),
      dataBits(kInitialDataBits),
      parity(kInitialParity),
      stopBits(kInitialStopBits),
      streamValid(false),
      buffer{},
      bufferStart(0),
      bufferLen(0)
{
    traceEnabled = 0;
}

CSerialStream::~CSerialStream()
{
    try {
        Close();
    } catch (const SerialStreamError& error) {
        // The handle is given back even when the close fails; all that is
        // lost is the news, which nobody is left to receive.
        TraceLog("Dropped failure to close %s, code %d\n", name.c_str(),
                 static_cast<int>(error.code));
    }
}

bool CSerialStream::Open(std::string portName)
{
    // Bytes still buffered from a previous port must never be delivered as
    // if they had come from the new one.
    Close();
    name = std::move(portName);
    OpenPort();
    ApplyLineSettings();
    return streamValid;
}

void CSerialStream::Close()
{
    if (!streamValid)
        return;
    bufferStart = 0;
    bufferLen = 0;
    ClosePort();
}

void CSerialStream::SetSpeed(int32_t newSpeed)
{
    if (newSpeed <= 0)
        Fail(SerialStreamError::InvalidArgument, __LINE__);
    if (newSpeed == speed)
        return;
    speed = newSpeed;
    TraceLog("Change %s speed to %d baud\n", name.c_str(), static_cast<int>(speed));
    if (streamValid)
        ApplyLineSettings();
}

void CSerialStream::SetLineFormat(int32_t newDataBits, char newParity, int32_t newStopBits)
{
    if (newDataBits < 4 || newDataBits > 8)
        Fail(SerialStreamError::InvalidArgument, __LINE__);
    if (!IsParityLetter(newParity))
        Fail(SerialStreamError::InvalidArgument, __LINE__);
    if (newStopBits != 1 && newStopBits != 2)
        Fail(SerialStreamError::InvalidArgument, __LINE__);
    if (newDataBits == dataBits && newParity == parity && newStopBits == stopBits)
        return;
    dataBits = newDataBits;
    parity = newParity;
    stopBits = newStopBits;
    if (streamValid)
        ApplyLineSettings();
}

void CSerialStream::Write(const void* data, int32_t length)
{
    if (!streamValid)
        Fail(SerialStreamError::InvalidArgument, __LINE__);
    if (length < 0)
        Fail(SerialStreamError::InvalidArgument, __LINE__);
    if (length == 0)
        return;
    TraceBytes("Write", name, static_cast<const uint8_t*>(data), length);
    // A write returns once the system has taken the bytes: on Windows when
    // the driver has handed them to the line, on Linux as soon as they are
    // queued (under wine too). Either way they cannot have left before
    // their line time, behind whatever was queued before them. A write
    // that fails part way may still have sent any of them.
    const auto leftBy = LineClearAfter(length);
    try {
        PortWrite(data, length);
    } catch (const SerialStreamError&) {
        outputDoneAt = leftBy;
        throw;
    }
    outputDoneAt = std::max(std::chrono::steady_clock::now(), leftBy);
}

std::chrono::steady_clock::time_point CSerialStream::LineClearAfter(int32_t length) const
{
    return std::max(std::chrono::steady_clock::now(), outputDoneAt) +
           TransferTime(static_cast<uint32_t>(length));
}

int32_t CSerialStream::Read(void* data, int32_t length, int32_t timeoutMs)
{
    if (!streamValid)
        Fail(SerialStreamError::NotOpen, __LINE__);
    if (length < 0)
        Fail(SerialStreamError::InvalidArgument, __LINE__);
    auto* destination = static_cast<uint8_t*>(data);

    // What earlier polls brought and nobody took yet.
    int32_t delivered = std::min(bufferLen, length);
    TakeFromBuffer(destination, delivered);
    if (delivered == length)
        return delivered;

    // Everything the system already holds, without waiting. The ring buffer
    // is empty here, so it can take all of it.
    uint8_t pollArea[kBufferSize];
    const int32_t polled = PortRead(pollArea, kBufferSize, 0);
    PLEMO_INVARIANT_SAYING(polled >= 0, "polled_read >= 0");
    if (polled > 0) {
        AppendToBuffer(pollArea, polled);
        const int32_t fromPoll = std::min(bufferLen, length - delivered);
        TakeFromBuffer(destination + delivered, fromPoll);
        delivered += fromPoll;
    }

    // Only the bytes still missing are waited for, straight into the
    // caller's memory, under one time-out for all of them.
    if (delivered < length && timeoutMs != 0) {
        const int32_t waited = PortRead(destination + delivered, length - delivered, timeoutMs);
        PLEMO_INVARIANT_SAYING(waited >= 0, "blocking_read >= 0");
        delivered += waited;
    }
    return delivered;
}

void CSerialStream::DiscardInput()
{
    uint8_t discarded[kDiscardChunk];
    int32_t total = 0;
    while (total < IComm::kMostDiscardedBytes) {
        const int32_t count = Read(discarded, kDiscardChunk, 0);
        if (count == 0)
            return;
        total += count;
    }
}

std::chrono::microseconds CSerialStream::TransferTime(uint32_t bytes) const
{
    // A start bit, the data bits, a parity bit unless there is none, the stop bits.
    const bool noParity = parity == 'N' || parity == 'n';
    const int64_t bitsPerCharacter = 1 + dataBits + (noParity ? 0 : 1) + stopBits;
    return std::chrono::microseconds(int64_t{bytes} * bitsPerCharacter * 1000000 / speed);
}

bool CSerialStream::ProbeModem()
{
    DiscardInput();
    Write(kAttention, sizeof kAttention);
    std::this_thread::sleep_for(kModemPause);
    Write(kAttention, sizeof kAttention);
    std::this_thread::sleep_for(kModemPause);
    Write(kAttention, sizeof kAttention);

    uint8_t answer[kModemAnswerSize];
    const int32_t count = Read(answer, kModemAnswerSize, kModemAnswerTimeoutMs);
    return ContainsOk(answer, count);
}

void CSerialStream::TakeFromBuffer(uint8_t* destination, int32_t count)
{
    PLEMO_INVARIANT_SAYING(count <= bufferLen, "copy_len <= bufferLen");
    bufferLen -= count;
    const uint8_t* const first = destination;
    int32_t remaining = count;
    while (remaining > 0) {
        const int32_t piece = std::min(remaining, kBufferSize - bufferStart);
        std::memcpy(destination, buffer + bufferStart, piece);
        destination += piece;
        remaining -= piece;
        bufferStart = (bufferStart + piece) & kRingMask;
    }
    if (count != 0)
        TraceBytes("Read", name, first, count);
}

void CSerialStream::AppendToBuffer(const uint8_t* source, int32_t count)
{
    PLEMO_INVARIANT_SAYING(count <= kBufferSize - bufferLen,
                           "copy_len <= (int)sizeof(buffer)-bufferLen");
    int32_t remaining = count;
    while (remaining > 0) {
        const int32_t end = (bufferStart + bufferLen) & kRingMask;
        const int32_t piece = std::min(remaining, kBufferSize - end);
        std::memcpy(buffer + end, source, piece);
        source += piece;
        remaining -= piece;
        bufferLen += piece;
    }
}
