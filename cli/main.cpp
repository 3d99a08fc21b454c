// plemo-flash: the cartridge upload from a terminal, a script or a build rule.
#include <cstdio>

#include <QCoreApplication>

#include "cli/commandline.h"
#include "cli/console.h"
#include "cli/fileinfo.h"
#include "cli/ports.h"

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("plemo-flash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PLEMO_VERSION));

    using plemoflash::Command;
    const Command command = plemoflash::ParseCommandLine(QCoreApplication::arguments());
    switch (command.mode) {
    case Command::Mode::Upload:
        plemoflash::InstallInterruptHandler();
        return plemoflash::RunUpload(command.upload);
    case Command::Mode::ListPorts:
        return plemoflash::ListPorts(stdout);
    case Command::Mode::Info:
        return plemoflash::PrintFileInfo(command.upload.path, stdout, stderr);
    case Command::Mode::ShowText:
        std::fputs(command.text.c_str(), stdout);
        return plemoflash::kSucceeded;
    case Command::Mode::BadUsage:
        break;
    }
    std::fprintf(stderr, "plemo-flash: %s\n", command.text.c_str());
    return plemoflash::kBadUsage;
}
