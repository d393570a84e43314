#include "App.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdio>
#include <exception>
#include <functional>

#include "Commands.h"
#include "LibraryVersion.h"
#include "Reference.h"
#include "protocol/DeviceRecord.h"
#include "support/base/Text.h"
#include "support/tooling/Interrupt.h"
#include "support/tooling/StdoutDiversion.h"

namespace quillon::cli {

namespace {

using CommandFunction = ExitCode (*)(CommandContext&);

constexpr const char* kCommonOptionsNote = "Also takes the common options --serial-port PATH, --wait "
                                           "SECONDS, --listen ADDRESS, --port N, --allow ADDRESS[/PREFIX], "
                                           "--no-tcp, --json and -v/--verbose (see quillon --help).";

// The device keeps its name in 12 bytes, and another tool reading it back takes the bytes in the
// device's own code page: only printable ASCII is the same 12 characters everywhere.
CLI::Validator DeviceNameValidator()
{
    return CLI::Validator(
        [](std::string& name) -> std::string {
            const auto single = [](unsigned char c) { return c >= 0x20 && c < 0x7F; };
            const auto other = std::find_if_not(name.begin(), name.end(), single);
            if (other != name.end()) {
                // The whole character, for a name typed in UTF-8: its lead byte and what follows it.
                auto end = std::next(other);
                while (end != name.end() && (static_cast<unsigned char>(*end) & 0xC0) == 0x80)
                    ++end;
                return "a device name is 12 single-byte characters (letters, digits, spaces and "
                       "punctuation of ASCII), as the device stores 12 bytes; \"" +
                       Printable(std::string(other, end)) + "\" is not one";
            }
            if (name.size() != kDeviceNameSize)
                return "a device name has exactly 12 characters; \"" + name + "\" has " +
                       std::to_string(name.size());
            // The library makes the device's folder of it; a name it would refuse is refused here.
            if (!FolderNameFrom(name))
                return "a device name must be usable as a folder name: no / \\ or :, not only dots and "
                       "spaces, and not a name Windows keeps for devices (CON, NUL, COM1, ...)";
            return {};
        },
        "12 CHARACTERS");
}

// Checks one link setting with the library's own rules, by itself in otherwise default settings.
template <typename Apply>
CLI::Validator LinkSettingValidator(Apply apply)
{
    return CLI::Validator(
        [apply](std::string& value) {
            LinkSettings settings;
            apply(settings, value);
            return LinkSettingsProblem(settings);
        },
        "");
}

// Adds a command whose selection is remembered for the run after the parse.
CLI::App* AddCommand(CLI::App& parent, const std::string& name, const std::string& description,
                     CommandFunction function, CommandFunction& chosen, std::string& chosenName,
                     const std::string& fullName)
{
    CLI::App* command = parent.add_subcommand(name, description);
    command->callback([function, &chosen, &chosenName, fullName] {
        chosen = function;
        chosenName = fullName;
    });
    return command;
}

// Ranges said in plain words, where CLI11 would say "Value abc not in range 0.000000 to 86400.000000".
CLI::Validator WholeNumberFrom(long long low, long long high)
{
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            long long value = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
                return "\"" + text + "\" is not a whole number from " + std::to_string(low) + " to " +
                       std::to_string(high);
            return {};
        },
        "");
}

CLI::Validator SecondsFrom(double low, double high)
{
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            double value = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (error != std::errc() || end != text.data() + text.size() ||
                !(value >= low && value <= high)) {
                char range[64];
                std::snprintf(range, sizeof range, "from %g to %g", low, high);
                return "\"" + text + "\" is not a number of seconds " + range;
            }
            return {};
        },
        "");
}

void AddKind(CLI::App* command, int& kind, int highest, const std::string& what)
{
    command->add_option("--kind", kind, what)
        ->type_name("K")
        ->check(WholeNumberFrom(0, highest))
        ->capture_default_str();
}

// How many single-character edits (a character added, removed, changed, or two neighbours swapped)
// turn one text into the other.
std::size_t EditDistance(const std::string& from, const std::string& to)
{
    std::vector<std::vector<std::size_t>> d(from.size() + 1, std::vector<std::size_t>(to.size() + 1));
    for (std::size_t i = 0; i <= from.size(); ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= to.size(); ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= from.size(); ++i)
        for (std::size_t j = 1; j <= to.size(); ++j) {
            d[i][j] = std::min(
                {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (from[i - 1] == to[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && from[i - 1] == to[j - 2] && from[i - 2] == to[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[from.size()][to.size()];
}

// The name the user most likely meant, when what was typed is a slip away from it ("chek").
std::string NearestName(const std::string& typed, const std::vector<std::string>& names)
{
    std::string nearest;
    std::size_t best = std::max<std::size_t>(1, std::min<std::size_t>(2, typed.size() / 3)) + 1;
    for (const auto& name : names) {
        const std::size_t distance = EditDistance(typed, name);
        if (distance < best) {
            best = distance;
            nearest = name;
        }
    }
    return nearest;
}

std::string JoinNames(const std::vector<std::string>& names, const char* last)
{
    std::string joined;
    for (std::size_t i = 0; i < names.size(); ++i)
        joined += (i == 0 ? "" : i + 1 == names.size() ? last : ", ") + names[i];
    return joined;
}

// A usage error in the shape of every other error: "quillon COMMAND: what happened", then a line
// that says what to do. Help and --version come here too, and are printed as CLI11 prints them.
int ReportUsageError(CLI::App& app, const CLI::ParseError& error)
{
    if (error.get_exit_code() == 0)
        return app.exit(error);
    CLI::App* group = &app;
    std::string path = "quillon";
    while (!group->get_subcommands().empty()) {
        group = group->get_subcommands().front();
        path += " " + group->get_name();
    }
    std::vector<std::string> commands;
    for (const CLI::App* command : group->get_subcommands([](CLI::App*) { return true; }))
        commands.push_back(command->get_name());
    const std::vector<std::string> left = app.remaining(true);
    const std::string typed = left.empty() ? std::string() : left.front();

    std::string message = error.what();
    std::string hint = "Run " + path + " --help for its arguments and options.";
    if (!commands.empty() && dynamic_cast<const CLI::RequiredError*>(&error)) {
        const std::string nearest = typed.rfind('-', 0) == 0 ? std::string() : NearestName(typed, commands);
        if (!typed.empty() && typed.rfind('-', 0) != 0)
            message = "there is no command \"" + typed + "\"";
        else
            message = group == &app ? "no command given" : "say which: " + JoinNames(commands, " or ");
        hint = (nearest.empty() ? "" : "Did you mean " + path + " " + nearest + "? ") + "The commands are " +
               JoinNames(commands, " and ") + "; " + path + " --help says what each does.";
    } else if (dynamic_cast<const CLI::ExtrasError*>(&error) && typed.rfind("--", 0) == 0) {
        std::vector<std::string> options;
        for (const CLI::App* level = group; level; level = level->get_parent())
            for (const CLI::Option* option : level->get_options())
                for (const std::string& name : option->get_lnames())
                    options.push_back("--" + name);
        const std::string name = typed.substr(0, typed.find('='));
        message = "there is no option " + name;
        const std::string nearest = NearestName(name, options);
        if (!nearest.empty())
            hint = "Did you mean " + nearest + "? " + hint;
    } else if (dynamic_cast<const CLI::ExtrasError*>(&error) && !typed.empty()) {
        message = "one argument too many: \"" + typed + "\"";
    }
    std::fprintf(stderr, "%s: %s\n  %s\n", path.c_str(), message.c_str(), hint.c_str());
    return ToInt(ExitCode::Usage);
}

}  // namespace

int Run(int argc, char** argv)
{
    GlobalOptions options;
    CommandArguments args;
    CommandFunction chosen = nullptr;
    std::string chosenName;

    CLI::App app("Moves a device's settings between the device and this computer, over TCP (the device "
                 "connects to port 8234) or a serial port.",
                 "quillon");
    app.fallthrough();  // the common options may also follow the command
    app.require_subcommand(1);
    app.footer("Exit codes:\n" + ExitCodeTable());
    // Both numbers: the library is loaded at run time and may not be the one the tool came with.
    app.set_version_flag("--version",
                         std::string("quillon ") + QUILLON_VERSION_STRING + " (library " + quillon_version() +
                             ")",
                         "Print the tool's and the library's versions and exit");
    app.add_option(
           "--serial-port", options.serialPorts,
           "Look for the device on this serial port too (repeatable; \"auto\": on every serial port of this "
           "computer); without it no serial port is opened")
        ->type_name("PATH")
        ->envname("QUILLON_SERIAL_PORT");
    app.add_option("--wait", options.waitSeconds, "Seconds to wait for a device to show up, 0 to 86400")
        ->type_name("SECONDS")
        ->check(SecondsFrom(0, 86400))
        ->capture_default_str();
    app.add_option(
           "--listen", options.link.listenAddress,
           "Listen for the device on this local address only (IPv4 or IPv6; \"::\" for every interface)")
        ->type_name("ADDRESS")
        ->check(LinkSettingValidator([](LinkSettings& s, const std::string& v) { s.listenAddress = v; }))
        ->envname("QUILLON_LISTEN")
        ->capture_default_str();
    app.add_option(
           "--port", options.link.port,
           "The TCP port the device connects to, up to 65535; 0 lets the system pick a free one, which is "
           "then named on standard error")
        ->type_name("N")
        ->check(WholeNumberFrom(0, 65535))
        ->capture_default_str();
    app.add_option("--allow", options.link.allowedPeers,
                   "Take the device's connection only from this address or network (repeatable); "
                   "without it from anyone")
        ->type_name("ADDRESS[/PREFIX]")
        ->envname("QUILLON_ALLOW")
        ->check(LinkSettingValidator([](LinkSettings& s, const std::string& v) { s.allowedPeers = {v}; }));
    app.add_flag(
        "--no-tcp", [&options](std::int64_t) { options.link.listen = false; },
        "Do not listen for a device on TCP (for a device on --serial-port)");
    app.add_flag("--json", options.json, "Print the result as one JSON object on standard output");
    app.add_flag("-v,--verbose", options.verbosity,
                 "Tell what the tool does on standard error: where it listens, when the device came, sizes "
                 "and timings; twice (-vv), the library's diagnostic lines as well");

    CLI::App* pack = AddCommand(app, "pack", "Pack the files of a package folder into a zip archive", Pack,
                                chosen, chosenName, "pack");
    pack->add_option("FOLDER", args.folder, "The package folder")->required()->type_name("");
    pack->add_option("ZIP", args.archive, "The archive to write (replaced if it exists)")
        ->required()
        ->type_name("");

    CLI::App* unpack = AddCommand(app, "unpack", "Unpack a zip archive into a folder, all or nothing", Unpack,
                                  chosen, chosenName, "unpack");
    unpack->add_option("ZIP", args.archive, "The archive")->required()->type_name("");
    unpack->add_option("FOLDER", args.folder, "The folder to unpack into (made if missing)")
        ->required()
        ->type_name("");

    CLI::App* check =
        AddCommand(app, "check", "Check that a package folder holds every file its DeviceSet.DST names",
                   Check, chosen, chosenName, "check");
    check->add_option("FOLDER", args.folder, "The package folder")->required()->type_name("");
    check->footer(
        "A package is a folder with DeviceSet.DST: an optional marker line, then the device serial\n"
        "and the bdb serial, a line each. It must hold SERIAL.ORI, SERIAL.RGF and BDBSERIAL.bdb, and\n"
        "SERIAL_B.ORI when the serial's 5th and 6th characters are UX, UK or BP. docs/package.md\n"
        "shows an example and what each problem line means.");

    CLI::App* repair = AddCommand(
        app, "repair",
        "Copy a package into ROOT/SERIAL, named after its device serial, unless that folder exists", Repair,
        chosen, chosenName, "repair");
    repair->add_option("ROOT", args.root, "The folder that holds the packages")->required()->type_name("");
    repair->add_option("PACKAGE", args.package, "The package folder")->required()->type_name("");

    CLI::App* status = AddCommand(app, "status", "Wait for a device and tell which link carries it", Status,
                                  chosen, chosenName, "status");
    status->footer(kCommonOptionsNote);

    CLI::App* probe =
        AddCommand(app, "probe", "Ask the device whether it answers", Probe, chosen, chosenName, "probe");
    probe->footer(kCommonOptionsNote);

    CLI::App* upload =
        AddCommand(app, "upload", "Upload a zip archive, or a package folder (checked and packed first)",
                   Upload, chosen, chosenName, "upload");
    upload->add_option("SOURCE", args.source, "A zip archive or a package folder")->required()->type_name("");
    AddKind(upload, args.kind, 255, "The file kind to store it as, 0 to 255");
    upload->footer(kCommonOptionsNote);

    CLI::App* download =
        AddCommand(app, "download", "Download the device's archive into ZIP and unpack it into FOLDER",
                   Download, chosen, chosenName, "download");
    download->add_option("ZIP", args.archive, "The archive to write (replaced)")->required()->type_name("");
    download->add_option("FOLDER", args.folder, "The folder to unpack into (made if missing)")
        ->required()
        ->type_name("");
    AddKind(download, args.kind, 255, "The file kind to download, 0 to 255");
    download
        ->add_option("--stall", args.stallSeconds,
                     "Give up when no block has come for this many seconds, 0.5 to 3600")
        ->type_name("SECONDS")
        ->check(SecondsFrom(0.5, 3600))
        ->capture_default_str();
    download->footer(kCommonOptionsNote);

    CLI::App* version = app.add_subcommand("version", "Read or write a file version on the device");
    version->require_subcommand(1);
    CLI::App* versionGet = AddCommand(*version, "get", "Read the version of a file kind", VersionGet, chosen,
                                      chosenName, "version get");
    AddKind(versionGet, args.kind, 2, "The file kind: 0, 1 or 2");
    versionGet->footer(kCommonOptionsNote);
    CLI::App* versionSet = AddCommand(*version, "set", "Write the version of a file kind", VersionSet, chosen,
                                      chosenName, "version set");
    versionSet->add_option("VALUE", args.version, "The version, 0 to 2147483647")
        ->required()
        ->type_name("")
        ->check(WholeNumberFrom(0, INT_MAX));
    AddKind(versionSet, args.kind, 2, "The file kind: 0, 1 or 2");
    versionSet->footer(kCommonOptionsNote);

    CLI::App* record = AddCommand(
        app, "record", "Write the device record: a 12-character name and the current date and time", Record,
        chosen, chosenName, "record");
    record->add_option("NAME", args.name, "The device's name, exactly 12 characters")
        ->required()
        ->type_name("")
        ->check(DeviceNameValidator());
    record->footer(kCommonOptionsNote);

    CLI::App* devdir =
        AddCommand(app, "devdir", "Ask the device for its name and make sure FOLDER/NAME exists",
                   DeviceDirectory, chosen, chosenName, "devdir");
    devdir->add_option("FOLDER", args.folder, "The folder to make the device's folder in")
        ->required()
        ->type_name("");
    devdir->footer(kCommonOptionsNote);

    CLI::App* ports = AddCommand(
        app, "ports", "List the serial ports of this computer; with --probe, which of them has a device",
        Ports, chosen, chosenName, "ports");
    ports->add_flag("--probe", args.probe,
                    "Search each port for a device, all at once, for up to --wait seconds (a search takes "
                    "about 5)");
    ports->footer("Lists the ports given with --serial-port instead, when there are any. " +
                  std::string(kCommonOptionsNote));

    // The manual page and the completions, printed from the definitions above for the build to
    // install; hidden from --help, as no user needs it.
    app.add_option_function<std::string>(
           "--generate",
           [&app](const std::string& what) {
               const std::string text = what == "man"    ? ManPage(app)
                                        : what == "bash" ? BashCompletion(app)
                                                         : ZshCompletion(app);
               std::fwrite(text.data(), 1, text.size(), stdout);
               throw CLI::Success();
           },
           "")
        ->check(CLI::IsMember({"man", "bash", "zsh"}))
        ->group("");

    // Each command's help ends with the exit codes it can end with.
    const auto exitCodes = [](CLI::App* command, std::initializer_list<ExitCode> codes) {
        const std::string footer = command->get_footer();
        command->footer((footer.empty() ? "" : footer + "\n\n") + "Exit codes:\n" + ExitCodeTable(codes));
    };
    using E = ExitCode;
    // Unpacking, checking and repairing take moments and are all or nothing; an interrupt waits for
    // them. A packing is thrown away when one came.
    for (CLI::App* local : {unpack, check, repair})
        exitCodes(local, {E::Success, E::Usage, E::LocalProblem});
    for (CLI::App* local : {pack, ports})
        exitCodes(local, {E::Success, E::Usage, E::LocalProblem, E::Interrupted});
    exitCodes(status, {E::Success, E::Usage, E::NoDevice, E::LocalProblem, E::Interrupted});
    for (CLI::App* device : {probe, upload, download, versionGet, versionSet, record, devdir})
        exitCodes(device,
                  {E::Success, E::DeviceFailed, E::Usage, E::NoDevice, E::LocalProblem, E::Interrupted});

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return ReportUsageError(app, error);
    }
    if (!chosen)  // unreachable: the parse requires a command
        return ToInt(ExitCode::Usage);

    // The library's lines go to standard error with -vv, and nowhere otherwise; the tool's
    // own output keeps the real standard output.
    std::string divertError;
    const auto diversion =
        StdoutDiversion::Start(options.verbosity >= 2 ? StdoutDiversion::Destination::StandardError
                                                      : StdoutDiversion::Destination::Discard,
                               divertError);
    if (!diversion)
        std::fprintf(stderr, "quillon: the library's lines may mix with the output (%s)\n",
                     divertError.c_str());
    std::FILE* out = diversion ? diversion->Output() : stdout;

    // From here on an interrupt is the commands' to answer: each removes what it had begun.
    const InterruptWatch interrupts;
    Report report(chosenName, options.json);
    CommandContext context{options, args, report, IsTerminal(stderr) && options.verbosity < 2};
    const auto start = std::chrono::steady_clock::now();
    ExitCode code = ExitCode::Success;
    try {
        code = chosen(context);
    } catch (const std::exception& error) {
        // The commands report their failures; only the unforeseen (memory, a path the system
        // cannot convert) comes here.
        code = report.Fail(ExitCode::LocalProblem, "unexpected", error.what());
    }
    report.SetSeconds("seconds",
                      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return report.Finish(code, out, stderr);
}

}  // namespace quillon::cli
