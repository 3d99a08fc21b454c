#pragma once
// plemo-flash's command line, read with QCommandLineParser.
#include <string>

#include <QStringList>

#include "cli/upload.h"

namespace plemoflash {

struct Command
{
    enum class Mode
    {
        Upload,
        ListPorts,
        Info,
        ShowText, // --help or --version: `text` goes to the standard output
        BadUsage, // `text` says what is wrong, in one line
    };
    Mode mode = Mode::BadUsage;
    UploadRequest upload; // Upload; Info uses its path
    std::string text;
};

// `arguments` as QCoreApplication::arguments() gives them, program first.
Command ParseCommandLine(const QStringList& arguments);

} // namespace plemoflash
