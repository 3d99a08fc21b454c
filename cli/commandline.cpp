#include "cli/commandline.h"

#include <cmath>

#include <QCommandLineParser>
#include <QCoreApplication>

#include "cli/ports.h"

namespace plemoflash {

namespace {

constexpr char kDescription[] =
    "Uploads a .bit (FPGA bitstream) or .frm (firmware image) file into the cartridge's\n"
    "flash over a serial line, exactly as the Plemo Upload Utility's dialog does. Start\n"
    "it, then switch the Game Boy on; Ctrl-C cancels (a second one stops at once).\n"
    "\n"
    "Without --port the one free serial port is used. A test rig names its own\n"
    "candidate ports in the environment variable PLEMO_CANDIDATE_PORTS. With --station\n"
    "it keeps running and flashes every cartridge plugged in, until Ctrl-C.\n"
    "\n"
    "Exit status: 0 uploaded; 1 the upload failed; 2 bad usage, or a file that cannot\n"
    "be read or uploaded (no port touched); 3 the port cannot be opened; 4 cancelled,\n"
    "or the wait for the cartridge ran out. Over several ports: 0 only when every\n"
    "port succeeded, else 1 if any upload failed, else 3 if any port did not open,\n"
    "else 4.";

Command BadUsage(const std::string& text)
{
    Command command;
    command.mode = Command::Mode::BadUsage;
    command.text = text + " (plemo-flash --help shows the usage)";
    return command;
}

Command ShowText(const QString& text)
{
    Command command;
    command.mode = Command::Mode::ShowText;
    command.text = text.toStdString();
    return command;
}

// The options plemo-flash knows, added to `parser`.
struct Options
{
    explicit Options(QCommandLineParser& parser)
        : help(DescribedHelp(parser)), version(parser.addVersionOption())
    {
        parser.addOptions({port, allPorts, station, json, wait, listPorts, info, trace, quiet});
        parser.addPositionalArgument("file", "The .bit or .frm file to upload.", "[file]");
    }
    static QCommandLineOption DescribedHelp(QCommandLineParser& parser)
    {
        parser.setApplicationDescription(QString::fromLatin1(kDescription));
        return parser.addHelpOption();
    }

    const QCommandLineOption help;
    const QCommandLineOption version;
    const QCommandLineOption port{{"p", "port"},
                                  "The serial port of the cartridge's cable; given more than once, "
                                  "the file goes to every port named, side by side.",
                                  "port"};
    const QCommandLineOption allPorts{"all-ports", "Upload to every free serial port, side by side."};
    const QCommandLineOption station{"station",
                                     "Keep running, and upload to every port that appears (with "
                                     "--port: among those named); Ctrl-C ends."};
    const QCommandLineOption json{"json",
                                  "Write every event as a JSON object a line on the standard "
                                  "output (the words go to the standard error)."};
    const QCommandLineOption wait{{"w", "wait"},
                                  "Wait at most this long for the cartridge to answer "
                                  "(default: until Ctrl-C).",
                                  "seconds"};
    const QCommandLineOption listPorts{{"l", "list-ports"},
                                       "List the serial ports and their state; sends nothing."};
    const QCommandLineOption info{{"i", "info"}, "Show what the file holds; touches no port."};
    const QCommandLineOption trace{"trace", "Trace the serial traffic on the standard error."};
    const QCommandLineOption quiet{{"q", "quiet"}, "Print only errors and the summary."};
};

// An upload of `path`, as the options describe it.
Command UploadCommand(const QCommandLineParser& parser, const Options& options,
                      const QString& path)
{
    Command command;
    command.mode = Command::Mode::Upload;
    command.upload.path = path.toStdString();
    for (const QString& port : parser.values(options.port)) {
        if (port.isEmpty())
            return BadUsage("--port needs a port name");
        command.upload.ports.push_back(port.toStdString());
    }
    command.upload.allPorts = parser.isSet(options.allPorts);
    command.upload.station = parser.isSet(options.station);
    if (command.upload.allPorts && (command.upload.station || !command.upload.ports.empty()))
        return BadUsage(std::string("--all-ports and ") + (command.upload.station ? "--station" : "--port") +
                        " do not go together");
    if (parser.isSet(options.wait)) {
        bool number = false;
        const double seconds = parser.value(options.wait).toDouble(&number);
        if (!number || !std::isfinite(seconds) || seconds <= 0.0)
            return BadUsage("--wait needs a number of seconds above 0, not '" +
                            parser.value(options.wait).toStdString() + "'");
        command.upload.waitLimit = seconds;
    }
    command.upload.trace = parser.isSet(options.trace);
    command.upload.quiet = parser.isSet(options.quiet);
    command.upload.json = parser.isSet(options.json);
    return command;
}

} // namespace

Command ParseCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    const Options options(parser);
    if (!parser.parse(arguments)) {
        QString error = parser.errorText();
        if (error.endsWith('.'))
            error.chop(1);
        return BadUsage(error.toStdString());
    }
    if (parser.isSet(options.help) || parser.isSet(QStringLiteral("help-all")))
        return ShowText(parser.helpText());
    if (parser.isSet(options.version))
        return ShowText(QCoreApplication::applicationName() + ' ' +
                        QCoreApplication::applicationVersion() + '\n');

    const QStringList files = parser.positionalArguments();
    if (files.size() > 1)
        return BadUsage("one file at a time, not " + std::to_string(files.size()));
    const bool listing = parser.isSet(options.listPorts);
    const bool showing = parser.isSet(options.info);
    if (listing && showing)
        return BadUsage("--list-ports and --info do not go together");
    Command command;
    if (listing) {
        if (!files.isEmpty())
            return BadUsage("--list-ports takes no file");
        command.mode = Command::Mode::ListPorts;
        return command;
    }
    if (files.isEmpty())
        return BadUsage(showing ? "--info needs a file" : "no file to upload");
    if (!showing)
        return UploadCommand(parser, options, files.first());
    command.mode = Command::Mode::Info;
    command.upload.path = files.first().toStdString();
    return command;
}

} // namespace plemoflash
