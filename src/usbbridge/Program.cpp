#include "usbbridge/Program.h"

#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <ostream>

#include "IDEAccess/UniqueFd.h"
#include "VirtualBridge/SimulatedHost.h"
#include "cli/HostChoice.h"
#include "usbbridge/CommandServer.h"
#include "usbbridge/Gadget.h"
#include "usbbridge/Serving.h"

namespace v62x::usb {
namespace {

constexpr const char* kProgram = "v62x-usb-bridge";
constexpr const char* kRunDir = "/run/v62x-usb-bridge";
constexpr std::uint16_t kVendorId = sim::kUsbVendorId;
constexpr std::uint16_t kProductId = sim::kUsbProductId;
constexpr std::uint16_t kDeviceRelease = 0x0100;
constexpr const char* kManufacturer = "Velmora";

std::string Trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*x", digits, value);
    return text;
}

std::string Serial(int entry) {
    std::string hex = Hex(static_cast<unsigned>(entry), 8);
    std::transform(hex.begin(), hex.end(), hex.begin(), [](unsigned char c) { return std::toupper(c); });
    return "V62X" + hex;
}

// The signals that stop serving: SIGINT, SIGTERM and SIGHUP, and SIGQUIT,
// SIGALRM and SIGUSR2, which would otherwise end the program without taking
// its gadgets down. They wait in the signal mask for the main thread
// (every thread started meanwhile inherits the mask), SIGPIPE is ignored
// (a closed standard output must not kill the program before it cleans
// up), and the bulk threads' interrupt signal has its handler.
class StopSignals {
public:
    StopSignals() {
        sigemptyset(&set_);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR2}) sigaddset(&set_, signal);
        ::pthread_sigmask(SIG_BLOCK, &set_, &previousMask_);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGPIPE, &ignore, &previousPipe_);
        InstallInterruptHandler();
    }
    ~StopSignals() {
        // A stop asked for twice is one stop: nothing may be left pending
        // to end the process when the mask is restored.
        while (Wait(0) != 0) {
        }
        ::sigaction(SIGPIPE, &previousPipe_, nullptr);
        ::pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The stop signal that came within `milliseconds`, or 0.
    int Wait(long milliseconds) {
        const timespec timeout{milliseconds / 1000, (milliseconds % 1000) * 1'000'000};
        const int signal = ::sigtimedwait(&set_, nullptr, &timeout);
        return signal > 0 ? signal : 0;
    }

private:
    sigset_t set_{};
    sigset_t previousMask_{};
    struct sigaction previousPipe_ {};
};

// The folder of the FunctionFS mounts, locked while a run owns it.
class RunDir {
public:
    bool Take(std::string& error) {
        if (::mkdir(kRunDir, 0755) != 0 && errno != EEXIST) {
            error = std::string("cannot make ") + kRunDir + ": " + std::strerror(errno);
            return false;
        }
        lock_ = UniqueFd(::open(kRunDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!lock_.valid()) {
            error = std::string("cannot open ") + kRunDir + ": " + std::strerror(errno);
            return false;
        }
        if (::flock(lock_.get(), LOCK_EX | LOCK_NB) != 0) {
            error = errno == EWOULDBLOCK ? std::string("another ") + kProgram + " is running"
                                         : std::string("cannot lock ") + kRunDir + ": " + std::strerror(errno);
            lock_.Reset();
            return false;
        }
        return true;
    }
    ~RunDir() {
        if (lock_.valid()) ::rmdir(kRunDir);
    }

private:
    UniqueFd lock_;
};

// Everything a run sets up, torn down in reverse order of the members:
// threads stopped, gadgets unbound and removed, configfs as it was, the
// run folder removed.
struct Setup {
    RunDir runDir;
    ConfigfsMount configfs;
    std::vector<std::unique_ptr<Gadget>> gadgets;
    std::vector<std::unique_ptr<CommandServer>> servers;
    std::vector<std::unique_ptr<GadgetService>> services;
};

// The controllers the entries get: those named with --udc, else the free
// ones in sorted order. Empty with the reason when there are too few.
std::vector<std::string> ChooseControllers(const std::vector<std::string>& named, std::size_t needed,
                                           std::string& error) {
    const std::vector<std::string> present = ListControllers();
    const std::string hint = "for a test: modprobe dummy_hcd num=" + std::to_string(needed);
    if (present.empty()) {
        error = std::string("no USB device controller in ") + kControllerDir + " (" + hint + ")";
        return {};
    }
    if (!named.empty()) {
        for (const std::string& name : named) {
            if (std::find(present.begin(), present.end(), name) == present.end()) {
                error = "no USB device controller " + name + " in " + kControllerDir;
                return {};
            }
        }
        return named;
    }
    const std::vector<std::string> used = ControllersInUse();
    std::vector<std::string> free;
    std::string list;
    for (const std::string& name : present) {
        list += (list.empty() ? "" : ", ") + name;
        if (std::find(used.begin(), used.end(), name) == used.end()) free.push_back(name);
    }
    if (free.size() < needed) {
        error = std::to_string(needed) + " devices need " + std::to_string(needed) +
                " free USB device controllers; " + std::to_string(free.size()) + " of " + list +
                " are free (" + hint + ")";
        return {};
    }
    free.resize(needed);
    return free;
}

// The command line of a run.
struct Options {
    std::string simulate;
    bool simulateGiven = false;
    std::vector<std::string> udcs;
    bool verbose = false;
};

// Reads the command line: nullopt to go on, else the status the program
// ends with (the help shown, or a usage error).
std::optional<int> ParseOptions(const std::vector<std::string>& args, Options& options, std::ostream& out,
                                std::ostream& err) {
    CLI::App app{"v62x-usb-bridge: serves simulated Velmora bridges as USB mass storage devices "
                 "through FunctionFS, one gadget per device, until SIGINT, SIGTERM or SIGHUP",
                 kProgram};
    CLI::Option* simulateOption = app.add_option(
        "--simulate", options.simulate, "The devices to serve, described as V62X_SIMULATE describes them (default: V62X_SIMULATE)");
    app.add_option("--udc", options.udcs,
                   "Device controller for the next device, repeated once per device (default: the free "
                   "ones in /sys/class/udc, sorted)");
    app.add_flag("--verbose", options.verbose, "Log every command block (CDB, length, status) to standard error");
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return 0;
    } catch (const CLI::ParseError& e) {
        err << kProgram << ": " << e.what() << '\n' << app.help();
        return kExitUsage;
    }
    options.simulateGiven = simulateOption->count() > 0;
    return std::nullopt;
}

// The simulated host with the devices to serve, from --simulate or
// V62X_SIMULATE; null after telling why there is nothing to serve.
sim::SimulatedHost* ChooseSimulatedHost(const Options& options, HostChoice& choice, std::ostream& err) {
    const char* env = std::getenv("V62X_SIMULATE");
    const std::string description = options.simulateGiven ? options.simulate : (env != nullptr ? env : "");
    const std::string source = options.simulateGiven ? "--simulate" : "V62X_SIMULATE";
    choice = ChooseHost(description.c_str());
    if (!choice.host) {
        err << kProgram << ": " << source << ": " << choice.error << '\n';
        return nullptr;
    }
    auto* host = dynamic_cast<sim::SimulatedHost*>(choice.host.get());
    if (!choice.simulated || host == nullptr) {
        err << kProgram << ": nothing to serve: describe the devices with --simulate DEVICES or V62X_SIMULATE "
            << "(see README.md, \"Simulated bridges\")\n";
        return nullptr;
    }
    if (host->Devices().empty()) {
        err << kProgram << ": " << source << " describes no device\n";
        return nullptr;
    }
    return host;
}

// Whether every device can stand for a USB device and the controllers
// named fit them; false after telling why not.
bool DevicesServable(const std::vector<sim::VirtualDevice*>& devices, const std::vector<std::string>& udcs,
                     std::ostream& err) {
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (devices[i]->config().bus == Bus::Ieee1394) {
            err << kProgram << ": entry " << i + 1 << " (" << Trimmed(devices[i]->config().product)
                << ") is on IEEE 1394 (bus=1394): it cannot be served over USB\n";
            return false;
        }
    }
    if (!udcs.empty() && udcs.size() != devices.size()) {
        err << kProgram << ": " << udcs.size() << " --udc for " << devices.size()
            << " devices: name one controller per device, or none\n";
        return false;
    }
    return true;
}

// The gadget that stands for the device of entry `entry` (from 1).
GadgetSettings SettingsFor(const sim::DeviceConfig& config, int entry) {
    GadgetSettings settings;
    settings.name = kGadgetPrefix + std::to_string(entry);
    settings.vendorId = kVendorId;
    settings.productId = kProductId;
    settings.deviceRelease = kDeviceRelease;
    settings.manufacturer = kManufacturer;
    settings.product = Trimmed(config.product).empty() ? "Bridge" : Trimmed(config.product);
    settings.serial = Serial(entry);
    settings.mountDir = std::string(kRunDir) + "/" + settings.name;
    return settings;
}

// Makes a gadget for each device, starts its service and binds it to its
// controller; stops at the first failure, with the reason in `error`. True
// when at least one gadget got as far as being bound.
bool StartGadgets(Setup& setup, SharedHost& shared, sim::SimulatedHost& host,
                  const std::vector<sim::VirtualDevice*>& devices, const std::vector<std::string>& controllers,
                  std::string& error, std::ostream& out) {
    bool served = false;
    for (std::size_t i = 0; i < controllers.size() && error.empty(); ++i) {
        const sim::DeviceConfig& config = devices[i]->config();
        const int entry = static_cast<int>(i + 1);
        const GadgetSettings settings = SettingsFor(config, entry);
        auto gadget = std::make_unique<Gadget>();
        if (!gadget->Create(settings, error)) break;
        auto server = std::make_unique<CommandServer>(host, config.path);
        auto service = std::make_unique<GadgetService>(shared, *gadget, *server, controllers[i], entry);
        service->Start();
        setup.gadgets.push_back(std::move(gadget));
        setup.servers.push_back(std::move(server));
        setup.services.push_back(std::move(service));
        if (!setup.gadgets.back()->Bind(controllers[i], error)) break;
        served = true;
        out << "served: entry " << entry << " (" << settings.product << ") on " << controllers[i]
            << " as usb " << Hex(kVendorId, 4) << ':' << Hex(kProductId, 4) << " serial "
            << settings.serial << '\n';
    }
    return served;
}

// Serves the devices until a stop signal or a failure, then saves the
// bridges' image files; the status the program ends with.
int Serve(sim::SimulatedHost& host, const std::vector<sim::VirtualDevice*>& devices, const Options& options,
          std::ostream& out, std::ostream& err) {
    StopSignals signals;
    SharedHost shared(options.verbose);
    bool served = false;
    int status = 0;
    {
        Setup setup;
        std::string error;
        std::vector<std::string> controllers;
        if (setup.runDir.Take(error) && setup.configfs.Ensure(error)) {
            std::vector<std::string> warnings;
            RemoveStaleGadgets(kRunDir, warnings);
            for (const std::string& warning : warnings) err << kProgram << ": " << warning << '\n';
            controllers = ChooseControllers(options.udcs, devices.size(), error);
        }
        served = StartGadgets(setup, shared, host, devices, controllers, error, out);
        if (!error.empty()) {
            err << kProgram << ": " << error << '\n';
            status = kExitServingError;
        } else {
            out << "ready" << std::endl;
            while (signals.Wait(200) == 0 && !shared.failed()) {
            }
            if (shared.failed()) status = kExitServingError;
        }
        out.flush();
        for (auto& service : setup.services) service->Stop();
    }
    // The bridges' image files, once no command can reach them any more.
    if (served) {
        std::string error;
        if (!host.SaveImages(error)) {
            err << kProgram << ": " << error << '\n';
            status = kExitServingError;
        }
    }
    return status;
}

}  // namespace

int RunUsbBridge(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Options options;
    if (std::optional<int> status = ParseOptions(args, options, out, err)) return *status;

    // The devices: simulated ones only, each one a USB device can stand for.
    HostChoice choice;
    sim::SimulatedHost* host = ChooseSimulatedHost(options, choice, err);
    if (host == nullptr) return kExitUsage;
    const std::vector<sim::VirtualDevice*> devices = host->Devices();
    if (!DevicesServable(devices, options.udcs, err)) return kExitUsage;
    if (::geteuid() != 0) {
        err << kProgram << ": must run as root (it makes USB gadgets in configfs and mounts FunctionFS)\n";
        return kExitServingError;
    }
    return Serve(*host, devices, options, out, err);
}

}  // namespace v62x::usb
