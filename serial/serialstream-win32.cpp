// The stream's five operating-system operations on Windows, with the Win32
// serial communications functions.
//
// The port is opened exclusively and synchronously. Time-outs are set anew
// for every read and every piece of a write, so one ReadFile covers the
// whole wait with a single total time-out, and a write's pieces share one
// deadline.
#include "serial/serialstream.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include <windows.h>

#include "serial/invariant.h"

namespace {

constexpr char kSource[] = "serialstream-win32";

// Recommended to the driver: one RPC chunk of 2,048 bytes fits each way.
constexpr DWORD kQueueSize = 2048;
// The largest piece handed to one WriteFile.
constexpr int32_t kWritePiece = 1024;

// RTS is raised while bytes wait to be sent and dropped when all have gone,
// for line drivers that switch direction on it. Some serial drivers refuse
// that mode (wine's, and some USB adapters'); for them RTS is held on
// instead: the bytes flow the same, only RTS no longer marks the sending.
constexpr DWORD kRtsControl = RTS_CONTROL_TOGGLE;
constexpr DWORD kRtsControlFallback = RTS_CONTROL_ENABLE;

static_assert(sizeof(DCB) == 28, "the device control block the port expects");

enum class PortCall
{
    Open,  // CreateFileA: the caller tells missing, held and broken ports apart
    Other, // anything after: always a system error
};

// The one place where a GetLastError value becomes a SerialStreamError: the
// code, and the number and text as the system gave them.
[[noreturn]] void FailOnSystemError(PortCall call, DWORD error, const std::string& portName,
                                    int line)
{
    int32_t code = SerialStreamError::SystemError;
    if (call == PortCall::Open) {
        if (error == ERROR_FILE_NOT_FOUND) {
            code = SerialStreamError::PortNotFound;
        } else if (error == ERROR_ACCESS_DENIED) { // another program holds the port
            code = SerialStreamError::AccessDenied;
        } else {
            std::printf("Could not open %s, error=%d\n", portName.c_str(),
                        static_cast<int>(error));
            std::fflush(stdout);
        }
    }
    char message[512] = {}; // room for any text; the error keeps what fits
    if (::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         error, 0, message, sizeof message, nullptr) == 0)
        message[0] = '\0'; // the system has no text for it
    ThrowSerialStreamError(SerialStreamError::FromSystem(code, error, message), kSource, line);
}

[[noreturn]] void FailOnArgument(int line)
{
    ThrowSerialStreamError(SerialStreamError::InvalidArgument, kSource, line);
}

// Read errors are also shown on the standard output while tracing, for
// whoever watches the traffic there.
void ShowReadError(const char* format, DWORD error)
{
    if (traceEnabled != 0) {
        std::printf(format, static_cast<int>(error));
        std::fflush(stdout);
    }
}

HANDLE PortHandle(std::intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

// NOPARITY..SPACEPARITY for a letter, or -1 for any other.
int ParityCode(char letter)
{
    switch (letter) {
    case 'N': case 'n': return NOPARITY;
    case 'O': case 'o': return ODDPARITY;
    case 'E': case 'e': return EVENPARITY;
    case 'M': case 'm': return MARKPARITY;
    case 'S': case 's': return SPACEPARITY;
    default: return -1;
    }
}

// Binary transfer, DTR off, RTS raised only while sending, no flow control
// of any kind, no byte replaced or dropped, errors do not stop the port.
void SetControlFields(DCB& control)
{
    control.fBinary = 1;
    control.fParity = 0;
    control.fOutxCtsFlow = 0;
    control.fOutxDsrFlow = 0;
    control.fDtrControl = DTR_CONTROL_DISABLE;
    control.fDsrSensitivity = 0;
    control.fTXContinueOnXoff = 0;
    control.fOutX = 0;
    control.fInX = 0;
    control.fErrorChar = 0;
    control.fNull = 0;
    control.fRtsControl = kRtsControl;
    control.fAbortOnError = 0;
}

// 0: return at once with what is there; > 0: one total time-out for the
// whole read; < 0: wait until every byte has come.
COMMTIMEOUTS ReadTimeouts(int32_t timeoutMs)
{
    COMMTIMEOUTS timeouts{};
    if (timeoutMs == 0)
        timeouts.ReadIntervalTimeout = MAXDWORD;
    else if (timeoutMs > 0)
        timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(timeoutMs);
    return timeouts;
}

// A write piece's time-out: what is left until the whole write's deadline,
// at least 1 ms (0 would mean none at all).
COMMTIMEOUTS WriteTimeouts(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    COMMTIMEOUTS timeouts = ReadTimeouts(0);
    timeouts.WriteTotalTimeoutConstant =
        static_cast<DWORD>(std::clamp<int64_t>(left.count(), 1, MAXDWORD - 1));
    return timeouts;
}

} // namespace

void CSerialStream::OpenPort()
{
    PLEMO_INVARIANT(!streamValid);
    const HANDLE port = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    handle = reinterpret_cast<std::intptr_t>(port);
    streamValid = port != INVALID_HANDLE_VALUE;
    if (!streamValid)
        FailOnSystemError(PortCall::Open, ::GetLastError(), name, __LINE__);

    COMMTIMEOUTS noTimeouts{};
    if (!::SetCommTimeouts(port, &noTimeouts) || !::SetupComm(port, kQueueSize, kQueueSize) ||
        !::SetCommMask(port, 0)) {
        const DWORD error = ::GetLastError();
        ClosePort();
        FailOnSystemError(PortCall::Other, error, name, __LINE__);
    }
}

void CSerialStream::ClosePort()
{
    PLEMO_INVARIANT(streamValid);
    streamValid = false;
    if (!::CloseHandle(PortHandle(handle)))
        FailOnSystemError(PortCall::Other, ::GetLastError(), name, __LINE__);
}

void CSerialStream::ApplyLineSettings()
{
    PLEMO_INVARIANT(streamValid);
    ++portCalls.lineSettings;
    const HANDLE port = PortHandle(handle);
    DCB control{};
    control.DCBlength = sizeof(DCB);
    if (!::GetCommState(port, &control))
        FailOnSystemError(PortCall::Other, ::GetLastError(), name, __LINE__);
    DCB previous = control; // SetCommState takes a non-const pointer

    control.BaudRate = static_cast<DWORD>(speed);
    SetControlFields(control);
    if (dataBits < 4 || dataBits > 8)
        FailOnArgument(__LINE__);
    control.ByteSize = static_cast<BYTE>(dataBits);
    const int parityCode = ParityCode(parity);
    if (parityCode < 0)
        FailOnArgument(__LINE__);
    control.Parity = static_cast<BYTE>(parityCode);
    if (stopBits != 1 && stopBits != 2)
        FailOnArgument(__LINE__);
    control.StopBits = stopBits == 1 ? ONESTOPBIT : TWOSTOPBITS;

    if (::SetCommState(port, &control))
        return;
    // Without this second try a driver that cannot toggle RTS would make the
    // port unusable; only a refusal of the fallback as well is an error.
    // Some drivers apply part of a DCB before refusing it (wine's does; over
    // a pseudo-terminal it then refuses the same parity a second time), so
    // the retry starts from the port's settings as they were; should even
    // those be refused, the retry's own result decides.
    const DWORD refusal = ::GetLastError();
    const bool restored = ::SetCommState(port, &previous) != 0;
    TraceLog("%s: SetCommState refused the RTS toggle (error %lu); trying RTS held on%s\n",
             name.c_str(), static_cast<unsigned long>(refusal),
             restored ? "" : " (previous settings not restored)");
    control.fRtsControl = kRtsControlFallback;
    if (!::SetCommState(port, &control))
        FailOnSystemError(PortCall::Other, ::GetLastError(), name, __LINE__);
}

int32_t CSerialStream::PortRead(void* data, int32_t length, int32_t timeoutMs)
{
    if (!streamValid)
        ThrowSerialStreamError(SerialStreamError::NotOpen, kSource, __LINE__);
    ++portCalls.reads;
    const HANDLE port = PortHandle(handle);
    COMMTIMEOUTS timeouts = ReadTimeouts(timeoutMs);
    if (!::SetCommTimeouts(port, &timeouts)) {
        const DWORD error = ::GetLastError();
        ShowReadError("error %d in setcommtimeouts", error);
        FailOnSystemError(PortCall::Other, error, name, __LINE__);
    }
    DWORD received = 0;
    if (!::ReadFile(port, data, static_cast<DWORD>(length), &received, nullptr)) {
        const DWORD error = ::GetLastError();
        ShowReadError("error %d in readfile", error);
        FailOnSystemError(PortCall::Other, error, name, __LINE__);
    }
    return static_cast<int32_t>(received);
}

void CSerialStream::PortWrite(const void* data, int32_t length)
{
    PLEMO_INVARIANT(streamValid);
    if (length == 0)
        return;
    ++portCalls.writes;
    const HANDLE port = PortHandle(handle);
    // A driver takes the bytes at the line's speed; one that has not taken
    // them by then, and by the allowance, never will (a wedged adapter).
    // A piece cut short by its time-out leaves the write short.
    const auto deadline = LineClearAfter(length) + stallAllowance;
    const auto* source = static_cast<const uint8_t*>(data);
    int32_t remaining = length;
    int32_t sent = 0;
    while (remaining > 0) {
        const int32_t piece = std::min(kWritePiece, remaining);
        COMMTIMEOUTS timeouts = WriteTimeouts(deadline);
        if (!::SetCommTimeouts(port, &timeouts))
            FailOnSystemError(PortCall::Other, ::GetLastError(), name, __LINE__);
        DWORD written = 0;
        if (!::WriteFile(port, source + sent, static_cast<DWORD>(piece), &written, nullptr))
            FailOnSystemError(PortCall::Other, ::GetLastError(), name, __LINE__);
        remaining -= piece;
        sent += static_cast<int32_t>(written);
    }
    // A piece the driver took only in part leaves the write short: the
    // device got a gap-free prefix, and the caller learns that it failed.
    if (sent != length)
        FailOnSystemError(PortCall::Other, ERROR_WRITE_FAULT, name, __LINE__);
}
