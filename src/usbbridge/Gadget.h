// USB gadgets in configfs, each made of one FunctionFS function, and what
// they need around them: configfs mounted, the device controllers, the
// leftovers of a run that was killed. Everything made is undone in reverse
// order when its owner goes.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "usbbridge/FunctionFs.h"

namespace v62x::usb {

// Runs the undo steps pushed so far, last first, when destroyed or asked.
class UndoStack {
public:
    UndoStack() = default;
    ~UndoStack() { RunAll(); }
    UndoStack(const UndoStack&) = delete;
    UndoStack& operator=(const UndoStack&) = delete;

    void Push(std::function<void()> step) { steps_.push_back(std::move(step)); }
    void RunAll() {
        while (!steps_.empty()) {
            std::function<void()> step = std::move(steps_.back());
            steps_.pop_back();
            step();
        }
    }

private:
    std::vector<std::function<void()>> steps_;
};

constexpr const char* kConfigfsDir = "/sys/kernel/config";
constexpr const char* kGadgetDir = "/sys/kernel/config/usb_gadget";
constexpr const char* kControllerDir = "/sys/class/udc";
constexpr const char* kGadgetPrefix = "v62x-";

// configfs with its usb_gadget folder, mounted when it was not (and then
// unmounted again when this object goes).
class ConfigfsMount {
public:
    bool Ensure(std::string& error);

private:
    UndoStack undo_;
};

// Removes gadgets named kGadgetPrefix* that a killed earlier run left
// behind: unbound, their FunctionFS instances under `runDir` unmounted,
// their configfs entries removed. Problems are appended to `warnings`.
void RemoveStaleGadgets(const std::string& runDir, std::vector<std::string>& warnings);

// The device controllers in sorted order (numbers by value: dummy_udc.2
// before dummy_udc.10), and those some gadget is bound to.
std::vector<std::string> ListControllers();
std::vector<std::string> ControllersInUse();

struct GadgetSettings {
    std::string name;  // configfs and FunctionFS instance name
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t deviceRelease = 0;
    std::string manufacturer;
    std::string product;
    std::string serial;
    std::string mountDir;  // where the FunctionFS instance is mounted
};

// One gadget: configfs entries, the mounted FunctionFS instance and its
// files, the binding to a controller. Destroyed: unbound, files closed,
// unmounted, entries removed.
class Gadget {
public:
    Gadget() = default;
    ~Gadget();
    Gadget(const Gadget&) = delete;
    Gadget& operator=(const Gadget&) = delete;

    // Makes the gadget and writes the function's descriptors. False with
    // the reason; what was made is undone.
    bool Create(const GadgetSettings& settings, std::string& error);

    // Binds the gadget to the controller `udc` (the host sees it plugged
    // in) and unbinds it (unplugged). Callable from any thread.
    bool Bind(const std::string& udc, std::string& error);
    void Unbind();

    FunctionFsFiles& files() { return files_; }

private:
    std::string dir_;
    UndoStack undo_;
    FunctionFsFiles files_;
    std::mutex bindMutex_;
    bool bound_ = false;
};

}  // namespace v62x::usb
