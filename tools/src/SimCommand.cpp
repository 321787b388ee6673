// vok sim: simulated counters on a pseudo-terminal, registered under a COM name.
#include "tools/Commands.h"

#include "platform/Signals.h"
#include "tools/ToolOutput.h"
#include "sim/SimLine.h"
#include "sim/SimWire.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

// Thrown for arguments that CLI11 accepts but that make no sense.
struct BadArgument {
    std::string message;
};

std::vector<std::string> SplitAt(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : text) {
        if (c == separator) {
            parts.push_back(part);
            part.clear();
        } else {
            part.push_back(c);
        }
    }
    parts.push_back(part);
    return parts;
}

double Number(const std::string& text, const std::string& option) {
    const auto value = simwire::ParseNumber(text);
    if (!value) throw BadArgument{option + ": '" + text + "' is not a number"};
    return *value;
}

unsigned Count(const std::string& text, const std::string& option) {
    const double value = Number(text, option);
    if (value < 0 || value > 1e9 || value != static_cast<double>(static_cast<unsigned>(value)))
        throw BadArgument{option + ": '" + text + "' is not a whole number"};
    return static_cast<unsigned>(value);
}

int Address(const std::string& text, const std::string& option) {
    const unsigned value = Count(text, option);
    if (value > 63) throw BadArgument{option + ": bus address " + text + " is outside 0..63"};
    return static_cast<int>(value);
}

// "ADDR:N" pairs.
std::pair<int, unsigned> AddressAndCount(const std::string& text, const std::string& option) {
    const auto parts = SplitAt(text, ':');
    if (parts.size() != 2) throw BadArgument{option + ": expected ADDR:N, got '" + text + "'"};
    return {Address(parts[0], option), Count(parts[1], option)};
}

// Faults as the options name them: the option without its dashes, and its value.
using FaultList = std::vector<std::pair<std::string, std::string>>;

// Sets each fault of the list; faultsAt gives the faults of a bus address and
// throws BadArgument for an address without a counter.
template <typename FaultsAt>
void ApplyFaults(const FaultList& list, FaultsAt faultsAt) {
    for (const auto& [name, value] : list) {
        const std::string option = "--" + name;
        if (name == "silent") {
            faultsAt(Address(value, option), option).silent = true;
        } else if (name == "bad-checksum") {
            faultsAt(Address(value, option), option).badChecksum = true;
        } else if (name == "lower-checksum") {
            faultsAt(Address(value, option), option).lowerChecksum = true;
        } else if (name == "no-echo-after") {
            const auto [address, n] = AddressAndCount(value, option);
            faultsAt(address, option).noEchoAfter = n;
        } else if (name == "busy") {
            const auto [address, n] = AddressAndCount(value, option);
            faultsAt(address, option).busyQueries = n;
        } else if (name == "truncate") {
            const auto [address, n] = AddressAndCount(value, option);
            faultsAt(address, option).truncateNext = n;
        } else {
            throw BadArgument{"'" + name + "' is not a fault"};
        }
    }
}

// The control file: one fault per line as the options write it ("--silent 3",
// "no-echo-after 3:40"); empty lines and lines starting with '#' are skipped.
FaultList ParseControl(const std::string& text) {
    FaultList list;
    for (std::string line : SplitAt(text, '\n')) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
        std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        line = line.substr(start);
        if (line.rfind("--", 0) == 0) line = line.substr(2);
        const std::size_t space = line.find_first_of(" \t=");
        if (space == std::string::npos) throw BadArgument{"'" + line + "' has no bus address"};
        const std::size_t value = line.find_first_not_of(" \t=", space);
        if (value == std::string::npos) throw BadArgument{"'" + line + "' has no bus address"};
        list.emplace_back(line.substr(0, space), line.substr(value));
    }
    return list;
}

struct Arguments {
    std::string port;
    std::vector<std::string> counters;
    std::string bins, cal, versionText, modelText, trace, control;
    std::optional<unsigned> interval, analog, hangUpAfter, seed;
    bool pace = false;
    double timeScale = 1.0;
    std::vector<std::string> silent, noEchoAfter, badChecksum, lowerChecksum, busy, truncate, status;
};

FaultList FaultsOf(const Arguments& args) {
    FaultList list;
    const std::pair<const char*, const std::vector<std::string>*> options[] = {
        {"silent", &args.silent}, {"bad-checksum", &args.badChecksum}, {"lower-checksum", &args.lowerChecksum},
        {"no-echo-after", &args.noEchoAfter}, {"busy", &args.busy}, {"truncate", &args.truncate}};
    for (const auto& [name, values] : options)
        for (const std::string& value : *values) list.emplace_back(name, value);
    return list;
}

// Reads the control file when it has changed since `applied` and gives every
// counter of the line the faults it names (none for a counter it does not
// name). A file that does not parse changes nothing and is reported once.
void FollowControlFile(const std::string& path, const SimLineConfig& config, SimLine& line,
                       std::optional<std::string>& applied) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return;
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (applied && *applied == text) return;
    applied = text;
    std::map<int, SimFaults> faults;
    for (const SimCounterConfig& counter : config.counters) faults[counter.address] = SimFaults{};
    try {
        ApplyFaults(ParseControl(text), [&](int address, const std::string& option) -> SimFaults& {
            auto it = faults.find(address);
            if (it == faults.end())
                throw BadArgument{option + ": no counter at bus address " + std::to_string(address)};
            return it->second;
        });
    } catch (const BadArgument& bad) {
        std::fprintf(stderr, "vok sim: %s: %s; the faults stay as they were\n", ValidUtf8(path).c_str(),
                     ValidUtf8(bad.message).c_str());
        return;
    }
    std::string named;
    for (const auto& [address, counterFaults] : faults) {
        line.SetFaults(address, counterFaults);
        if (counterFaults != SimFaults{}) named += (named.empty() ? "" : ", ") + std::to_string(address);
    }
    std::fprintf(stderr, "vok sim: faults from %s now on counters: %s\n", ValidUtf8(path).c_str(),
                 named.empty() ? "none" : named.c_str());
}

SimLineConfig BuildConfig(const Arguments& args) {
    SimLineConfig line;
    line.comName = args.port;
    line.pace = args.pace;
    line.timeScale = args.timeScale;
    line.traceFile = args.trace;
    line.traceLimit = 0;
    line.hangUpAfter = args.hangUpAfter;

    SimCounterConfig base;
    if (!args.bins.empty()) {
        base.binsUm.clear();
        for (const std::string& piece : SplitAt(args.bins, ',')) base.binsUm.push_back(Number(piece, "--bins"));
    }
    if (!args.cal.empty()) {
        base.calibration.clear();
        for (const std::string& piece : SplitAt(args.cal, ',')) {
            const auto pair = SplitAt(piece, ':');
            if (pair.size() != 2) throw BadArgument{"--cal: expected SIZE:MV, got '" + piece + "'"};
            base.calibration.push_back({Number(pair[0], "--cal"), Number(pair[1], "--cal")});
        }
    }
    if (args.interval) base.sampleIntervalS = *args.interval;
    if (args.analog) base.analogInputs = *args.analog;
    if (!args.versionText.empty()) base.versionText = args.versionText;
    if (!args.modelText.empty()) base.modelText = args.modelText;

    std::map<int, SimCounterConfig> counters;
    for (const std::string& text : args.counters) {
        const int address = Address(text, "--counter");
        SimCounterConfig counter = base;
        counter.address = address;
        counter.seed = (args.seed ? *args.seed : 1u) + static_cast<unsigned>(address);
        if (!counters.emplace(address, counter).second)
            throw BadArgument{"--counter: bus address " + text + " given twice"};
    }
    auto counterAt = [&](int address, const std::string& option) -> SimCounterConfig& {
        auto it = counters.find(address);
        if (it == counters.end())
            throw BadArgument{option + ": no counter at bus address " + std::to_string(address)};
        return it->second;
    };
    ApplyFaults(FaultsOf(args), [&](int address, const std::string& option) -> SimFaults& {
        return counterAt(address, option).faults;
    });
    for (const auto& text : args.status) {
        const auto parts = SplitAt(text, ':');
        unsigned value = 0;
        int used = 0;
        if (parts.size() != 2 || std::sscanf(parts[1].c_str(), "%2x%n", &value, &used) != 1 ||
            used != static_cast<int>(parts[1].size()))
            throw BadArgument{"--status: expected ADDR:HH (hexadecimal), got '" + text + "'"};
        counterAt(Address(parts[0], "--status"), "--status").status = static_cast<std::uint8_t>(value);
    }
    for (auto& [address, counter] : counters) line.counters.push_back(counter);
    return line;
}

}  // namespace

int RunSimCommand(int argc, char** argv) {
    CLI::App app{"Simulated 4400 VOK counters on one serial line (a pseudo-terminal registered under a COM name).\n"
                 "Prints 'ready COMn DEVICE-PATH' when serving; ends on SIGINT or SIGTERM.",
                 "vok sim"};
    Arguments args;
    app.add_option("--port", args.port, "COM name to register the line under, e.g. COM7")->required();
    app.add_option("--counter", args.counters, "bus address 0..63 of a counter on the line (repeatable)")->required();
    app.add_option("--bins", args.bins, "bin sizes in micrometres, e.g. 0.3,0.5,1,5,10");
    app.add_option("--cal", args.cal, "calibration points SIZE:MV, e.g. 0.3:100,0.5:180,1:300");
    app.add_option("--interval", args.interval, "sample interval in seconds (default 60)");
    app.add_option("--version-text", args.versionText, "firmware version text the counters report");
    app.add_option("--model", args.modelText, "model text the counters report (default MCA)");
    app.add_option("--analog", args.analog, "analog inputs per counter, 0..8 (default 8)");
    app.add_option("--seed", args.seed, "seed of the simulated counts");
    app.add_flag("--pace", args.pace, "send every byte in its 9600-baud time slot");
    app.add_option("--time-scale", args.timeScale, "counter time runs this many times faster (default 1)");
    app.add_option("--trace", args.trace, "write every byte on the line to FILE ('<ms> rx|tx <HEX>' per line)");
    app.add_option("--silent", args.silent, "ADDR: the counter never answers");
    app.add_option("--no-echo-after", args.noEchoAfter, "ADDR:N: the counter falls silent after N echoed bytes");
    app.add_option("--bad-checksum", args.badChecksum, "ADDR: checksum fields carry a wrong sum");
    app.add_option("--lower-checksum", args.lowerChecksum, "ADDR: checksum fields use lower-case digits");
    app.add_option("--busy", args.busy, "ADDR:N: the next N mode queries answer C");
    app.add_option("--truncate", args.truncate, "ADDR:K: the next reply loses its last K bytes");
    app.add_option("--status", args.status, "ADDR:HH: status byte of the data replies (hex, default 20)");
    app.add_option("--hangup-after", args.hangUpAfter, "hang the line up after N bytes from the host");
    app.add_option("--control", args.control,
                   "FILE: whenever it changes, the counters take the faults it lists, one per line as the "
                   "options above write them ('--silent 3', '--no-echo-after 3:40'); none when it lists none. "
                   "Write it by renaming a finished file over it");

    SimLineConfig config;
    try {
        app.parse(argc, argv);
        config = BuildConfig(args);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "vok sim: %s\n", ValidUtf8(error.what()).c_str());
        return 2;
    } catch (const BadArgument& bad) {
        std::fprintf(stderr, "vok sim: %s\n", ValidUtf8(bad.message).c_str());
        return 2;
    }
    std::string error;
    if (!ValidateSimLineConfig(config, &error)) {
        std::fprintf(stderr, "vok sim: %s\n", ValidUtf8(error).c_str());
        return 2;
    }

    // Before the serving thread exists, so that it leaves the signals to us.
    signals::BlockTermination();
    SimLine line;
    if (!line.Start(config, &error)) {
        std::fprintf(stderr, "vok sim: %s\n", ValidUtf8(error).c_str());
        return 1;
    }
    std::printf("ready %s %s\n", line.ComName().c_str(), line.DevicePath().c_str());
    std::fflush(stdout);

    bool reported = false;
    std::optional<std::string> applied;
    if (!args.control.empty()) FollowControlFile(args.control, config, line, applied);
    while (!signals::WaitForTermination(200)) {
        if (!args.control.empty()) FollowControlFile(args.control, config, line, applied);
        if (line.IsHungUp() && !reported) {
            std::fputs("vok sim: the line is hung up\n", stderr);
            reported = true;
        }
    }
    line.Stop();
    return 0;
}
