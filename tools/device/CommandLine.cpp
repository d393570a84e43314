#include "CommandLine.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <climits>
#include <cstdio>
#include <vector>

namespace quillon::sim {

namespace {

constexpr const char* kDescription =
    "A device without hardware, for host developers and device test engineers. It plays the device's "
    "side of the Quillon protocol against a host, over TCP, a serial port or a pseudo-terminal; keeps "
    "what the host stores (archives, file versions, the device record) in a state folder; serves "
    "downloads from there; and commits faults on request, so that a host can be seen at work, and "
    "made to fail, on one machine.\n\n"
    "It logs one line per event on standard error (connected, keyed, upload kind 0: 10000 bytes "
    "stored, ...), and every frame with --verbose.";

constexpr const char* kFooter =
    "State folder:\n"
    "  kind-<k>.zip       the last archive of kind k that the host uploaded\n"
    "                     (kind-<k>.zip.part while one comes in)\n"
    "  versions.txt       the file versions, \"kind <k>: <version>\" lines; a kind\n"
    "                     never written reads as 0\n"
    "  device-record.txt  the record the host wrote last: its name and the UTC\n"
    "                     date and time it carried\n"
    "A download of kind k serves kind-<k>.zip, else the --archive, else it is\n"
    "refused.\n"
    "\n"
    "Exit codes:\n"
    "  0  done: the sessions asked for with --sessions are over, or SIGINT or\n"
    "     SIGTERM came\n"
    "  1  the port or the pseudo-terminal could not be opened, the state folder\n"
    "     cannot be used, or serving failed on the way\n"
    "  2  usage: an unknown option, a missing or malformed value\n"
    "\n"
    "Examples:\n"
    "  quillon-device --state /tmp/device --archive settings.zip\n"
    "      wait for a host on 127.0.0.1:8234 and serve it until Ctrl-C\n"
    "  quillon-device --pty --sessions 1 --refuse download --verbose\n"
    "      print the path of a new serial port, refuse downloads there, log every\n"
    "      frame, and exit once the host has closed the port\n"
    "  quillon-device --line-rate --corrupt-block 2\n"
    "      a slow device whose downloads break at block 2";

// The help's layout: option names in a column this wide, their descriptions wrapped beside it so
// that the whole fits an 80-column terminal.
constexpr std::size_t kNameColumn = 26;
constexpr std::size_t kDescriptionWidth = 80 - kNameColumn - 1;

// Breaks text into lines of at most width characters at spaces; the formatter indents each line
// after the first to the description column.
std::string Wrap(const std::string& text, std::size_t width = kDescriptionWidth)
{
    std::string wrapped;
    std::size_t lineLength = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of(" \n", start);
        if (end == std::string::npos)
            end = text.size();
        const std::size_t wordLength = end - start;
        if (lineLength > 0 && lineLength + 1 + wordLength > width) {
            wrapped += '\n';
            lineLength = 0;
        } else if (lineLength > 0) {
            wrapped += ' ';
            ++lineLength;
        }
        wrapped.append(text, start, wordLength);
        lineLength += wordLength;
        if (end < text.size() && text[end] == '\n') {
            wrapped += '\n';
            lineLength = 0;
        }
        start = end + 1;
    }
    return wrapped;
}

// "HOST:PORT", with the host in brackets when it is an IPv6 address.
std::string ParseHostPort(const std::string& text, std::string& host, int& port)
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos)
        return "\"" + text + "\" is not HOST:PORT";
    host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty())
        return "\"" + text + "\" names no host";
    const std::string portText = text.substr(colon + 1);
    int value = 0;
    const auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), value);
    if (portText.empty() || error != std::errc() || end != portText.data() + portText.size() || value < 1 ||
        value > 65535)
        return "\"" + portText + "\" is not a TCP port (1 to 65535)";
    port = value;
    return {};
}

CLI::Validator HostPortValidator()
{
    return CLI::Validator(
        [](std::string& text) {
            std::string host;
            int port = 0;
            return ParseHostPort(text, host, port);
        },
        "");
}

CLI::Validator NameValidator()
{
    return CLI::Validator(
        [](std::string& name) -> std::string {
            if (name.size() != 12)
                return "a device name has exactly 12 characters; \"" + name + "\" has " +
                       std::to_string(name.size());
            return {};
        },
        "");
}

}  // namespace

std::variant<SimulatorOptions, int> ParseCommandLine(int argc, char** argv)
{
    SimulatorOptions options;
    std::string tcp = options.host + ":" + std::to_string(options.port);
    std::string state = options.stateFolder.string();
    std::string archive;
    std::vector<std::string> refuse;
    int stopAcksAfter = -1, corruptBlock = -1, wrongIndexBlock = -1, disconnectAfter = -1;
    int delayMs = 0;
    bool pty = false;

    CLI::App app(Wrap(kDescription, 79), "quillon-device");
    app.footer(kFooter);
    app.get_formatter()->column_width(kNameColumn);

    const std::string link = "Link (one of; TCP when none is given)";
    CLI::Option* tcpOption =
        app.add_option("--tcp", tcp,
                       Wrap("Connect to the host listening at HOST:PORT; try again every 200 ms until it "
                            "listens, and connect again whenever the connection drops"))
            ->type_name("HOST:PORT")
            ->check(HostPortValidator())
            ->capture_default_str()
            ->group(link);
    CLI::Option* serialOption =
        app.add_option("--serial", options.serialPath,
                       Wrap("Serve on this serial port (115200 baud, 8N1): greet every 500 ms until the host "
                            "sends a key, and pad short frames to 72 bytes"))
            ->type_name("PATH")
            ->group(link);
    CLI::Option* ptyOption =
        app.add_flag(
               "--pty", pty,
               Wrap("Make a pseudo-terminal pair and serve on it as on a serial port; the path the host "
                    "opens is the first line of standard output"))
            ->group(link);

    const std::string device = "Device";
    app.add_option("--state", state, Wrap("The state folder, made when missing (see below)"))
        ->type_name("DIR")
        ->capture_default_str()
        ->group(device);
    app.add_option("--archive", archive,
                   Wrap("The archive a download serves for a kind the host never uploaded"))
        ->type_name("ZIP")
        ->check(CLI::ExistingFile.description(""))
        ->group(device);
    app.add_option("--name", options.name,
                   Wrap("The device's name, exactly 12 characters; a record read returns it until the host "
                        "writes a record with a name of its own"))
        ->type_name("NAME")
        ->check(NameValidator())
        ->capture_default_str()
        ->group(device);
    app.add_option(
           "--sessions", options.sessions,
           Wrap("Exit once N host sessions have ended (a session runs from a key frame until the link "
                "drops or a new key comes); without it, run until SIGINT or SIGTERM"))
        ->type_name("N")
        ->check(CLI::Range(1, INT_MAX).description(""))
        ->group(device);
    app.add_flag("--verbose", options.verbose, Wrap("Log every frame that comes and goes as well"))
        ->group(device);

    const std::string faults = "Faults (each on every operation it applies to)";
    app.add_option(
           "--refuse", refuse,
           Wrap("Refuse the command of OP with acknowledgement code 1: upload, download, version-read "
                "or version-write; repeat for more"))
        ->type_name("OP")
        ->check(CLI::IsMember({"upload", "download", "version-read", "version-write"}).description(""))
        ->group(faults);
    app.add_flag("--silent", options.faults.silent,
                 Wrap("Answer nothing at all (a serial device still greets, so that the host finds it)"))
        ->group(faults);
    app.add_option("--stop-acks-after", stopAcksAfter,
                   Wrap("Let an upload send N blocks, then acknowledge nothing more (0: not even the size)"))
        ->type_name("N")
        ->check(CLI::Range(0, 65535).description(""))
        ->group(faults);
    app.add_option("--corrupt-block", corruptBlock,
                   Wrap("Send download block N (from 0) with a wrong checksum"))
        ->type_name("N")
        ->check(CLI::Range(0, 65535).description(""))
        ->group(faults);
    app.add_option("--wrong-index-block", wrongIndexBlock,
                   Wrap("Send download block N (from 0) with the index N + 1"))
        ->type_name("N")
        ->check(CLI::Range(0, 65535).description(""))
        ->group(faults);
    app.add_flag("--repeat-size", options.faults.repeatSize, Wrap("Send a download's size frame twice"))
        ->group(faults);
    app.add_option(
           "--disconnect-after", disconnectAfter,
           Wrap("Drop the link once N blocks of an upload or a download have crossed it (0: right "
                "after the size); over TCP the device connects again 200 ms later, on a serial line it "
                "restarts: it forgets its key and greets again"))
        ->type_name("N")
        ->check(CLI::Range(0, 65535).description(""))
        ->group(faults);
    app.add_option("--delay", delayMs, Wrap("Wait MS milliseconds before every frame the device sends"))
        ->type_name("MS")
        ->check(CLI::Range(0, 600000).description(""))
        ->group(faults);
    app.add_flag("--line-rate", options.faults.lineRate,
                 Wrap("Move bytes both ways at the pace of a 115200-baud line (11,520 bytes a second), in "
                      "pieces a few milliseconds apart as a UART delivers them"))
        ->group(faults);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? kExitDone : kExitUsage;
    }

    if (tcpOption->count() + serialOption->count() + ptyOption->count() > 1) {
        std::fprintf(stderr, "--tcp, --serial and --pty exclude each other: give one link at most\n"
                             "Run with --help for more information.\n");
        return kExitUsage;
    }
    if (pty)
        options.transport = Transport::Pty;
    else if (serialOption->count() > 0)
        options.transport = Transport::SerialPort;
    else
        ParseHostPort(tcp, options.host, options.port);  // checked while parsing
    options.stateFolder = state;
    options.archive = archive;
    for (const std::string& name : refuse)
        options.faults.Refuse(*ParseOperation(name));  // checked while parsing
    const auto count = [](int value) { return value >= 0 ? std::optional<int>(value) : std::nullopt; };
    options.faults.stopAcksAfter = count(stopAcksAfter);
    options.faults.corruptBlock = count(corruptBlock);
    options.faults.wrongIndexBlock = count(wrongIndexBlock);
    options.faults.disconnectAfter = count(disconnectAfter);
    options.faults.delay = std::chrono::milliseconds(delayMs);
    return options;
}

}  // namespace quillon::sim
