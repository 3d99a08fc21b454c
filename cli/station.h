#pragma once
// plemo-flash --station: a bench that flashes every cartridge plugged in.
// Every candidate port that appears gets an upload of the file on a thread
// of its own; once it has ended, the port gets another only when it has
// gone and come back (another cartridge). Ctrl-C ends the station once the
// uploads under way have ended or been cancelled as Cancel does.
#include <chrono>

#include "cli/upload.h"
#include "flash/uploadsession.h"

namespace plemoflash {

// How often the station looks at its candidates when nothing tells it of a
// port (Windows, a test rig's PLEMO_CANDIDATE_PORTS), and again after udev
// has told.
constexpr std::chrono::milliseconds kStationRescan{1000};

// An exit status: 0 when every upload succeeded (or there was none), else
// as for several ports.
int RunStation(const UploadRequest& request, CUploadSession::Kind kind);

} // namespace plemoflash
