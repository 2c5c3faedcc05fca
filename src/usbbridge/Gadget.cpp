#include "usbbridge/Gadget.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>

#include "IDEAccess/LinuxMountInfo.h"
#include "IDEAccess/UniqueFd.h"

namespace v62x::usb {
namespace {

namespace fs = std::filesystem;

constexpr long kConfigfsMagic = 0x62656570;

std::string Reason(int error) { return std::strerror(error); }

bool WriteText(const std::string& file, const std::string& text, int& error) {
    UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd.valid()) {
        error = errno;
        return false;
    }
    const ssize_t n = ::write(fd.get(), text.data(), text.size());
    if (n != static_cast<ssize_t>(text.size())) {
        error = n < 0 ? errno : EIO;
        return false;
    }
    return true;
}

std::string ReadFirstLine(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

std::vector<fs::path> Children(const fs::path& dir) {
    std::vector<fs::path> children;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        children.push_back(it->path());
    }
    std::sort(children.begin(), children.end());
    return children;
}

// Controllers in the order people count them: dummy_udc.2 before
// dummy_udc.10. Names compare without their trailing number, then by it.
bool ControllerBefore(const std::string& a, const std::string& b) {
    auto split = [](const std::string& name) {
        std::size_t digits = name.size();
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1])) != 0) --digits;
        // Up to 9 digits count as a number; longer runs compare as text.
        const std::string tail = name.substr(digits);
        const unsigned long number = !tail.empty() && tail.size() <= 9 ? std::stoul(tail) : 0;
        return std::make_tuple(name.substr(0, digits), number, name);
    };
    return split(a) < split(b);
}

std::string Hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

// The steps of making a gadget, each undone on the undo stack.
class Maker {
public:
    Maker(UndoStack& undo, std::string& error) : undo_(undo), error_(error) {}

    bool Dir(const std::string& path, const std::string& hint = "") {
        if (::mkdir(path.c_str(), 0755) != 0) return Fail("cannot make " + path, errno, hint);
        undo_.Push([path] { ::rmdir(path.c_str()); });
        return true;
    }
    bool Write(const std::string& file, const std::string& text) {
        int error = 0;
        return WriteText(file, text, error) || Fail("cannot write " + file, error);
    }
    bool Link(const std::string& target, const std::string& link) {
        if (::symlink(target.c_str(), link.c_str()) != 0) return Fail("cannot link " + link, errno);
        undo_.Push([link] { ::unlink(link.c_str()); });
        return true;
    }
    bool MountFunctionFs(const std::string& instance, const std::string& dir) {
        if (::mount(instance.c_str(), dir.c_str(), "functionfs", 0, nullptr) != 0) {
            return Fail("cannot mount FunctionFS instance " + instance + " on " + dir, errno,
                        errno == ENODEV ? "modprobe usb_f_fs" : "");
        }
        undo_.Push([dir] {
            if (::umount2(dir.c_str(), 0) != 0) ::umount2(dir.c_str(), MNT_DETACH);
        });
        return true;
    }

private:
    bool Fail(const std::string& what, int error, const std::string& hint = "") {
        error_ = what + ": " + Reason(error);
        if (!hint.empty()) error_ += " (" + hint + ")";
        return false;
    }

    UndoStack& undo_;
    std::string& error_;
};

}  // namespace

bool ConfigfsMount::Ensure(std::string& error) {
    std::error_code ec;
    if (fs::is_directory(kGadgetDir, ec)) return true;
    struct statfs info {};
    const bool mounted = ::statfs(kConfigfsDir, &info) == 0 && info.f_type == kConfigfsMagic;
    if (!mounted) {
        if (::mount("none", kConfigfsDir, "configfs", 0, nullptr) != 0) {
            error = std::string("configfs is not mounted on ") + kConfigfsDir +
                    " and cannot be mounted there: " + Reason(errno);
            return false;
        }
        undo_.Push([] { ::umount2(kConfigfsDir, 0); });
    }
    if (!fs::is_directory(kGadgetDir, ec)) {
        error = std::string("no ") + kGadgetDir +
                ": the kernel's USB gadget support is not loaded (modprobe libcomposite)";
        return false;
    }
    return true;
}

void RemoveStaleGadgets(const std::string& runDir, std::vector<std::string>& warnings) {
    std::vector<fs::path> stale;
    for (const fs::path& gadget : Children(kGadgetDir)) {
        if (gadget.filename().string().rfind(kGadgetPrefix, 0) == 0) stale.push_back(gadget);
    }
    for (const fs::path& gadget : stale) {
        int error = 0;
        if (!ReadFirstLine(gadget / "UDC").empty() && !WriteText(gadget / "UDC", "\n", error)) {
            warnings.push_back("cannot unbind " + gadget.string() + ": " + Reason(error));
        }
    }
    // A function's entry goes only once its instance is unmounted.
    std::ifstream mountInfo("/proc/self/mountinfo");
    const std::string table((std::istreambuf_iterator<char>(mountInfo)), std::istreambuf_iterator<char>());
    const std::string prefix = runDir + "/";
    for (const MountInfoEntry& entry : ParseMountInfo(table)) {
        if (entry.mountPoint.rfind(prefix, 0) != 0) continue;
        if (::umount2(entry.mountPoint.c_str(), 0) != 0 &&
            ::umount2(entry.mountPoint.c_str(), MNT_DETACH) != 0) {
            warnings.push_back("cannot unmount " + entry.mountPoint + ": " + Reason(errno));
        }
        ::rmdir(entry.mountPoint.c_str());
    }
    for (const fs::path& gadget : stale) {
        for (const fs::path& config : Children(gadget / "configs")) {
            for (const fs::path& item : Children(config)) {
                std::error_code ec;
                if (fs::is_symlink(fs::symlink_status(item, ec))) ::unlink(item.c_str());
            }
            for (const fs::path& strings : Children(config / "strings")) ::rmdir(strings.c_str());
            ::rmdir(config.c_str());
        }
        for (const fs::path& function : Children(gadget / "functions")) ::rmdir(function.c_str());
        for (const fs::path& strings : Children(gadget / "strings")) ::rmdir(strings.c_str());
        if (::rmdir(gadget.c_str()) != 0) {
            warnings.push_back("cannot remove the stale gadget " + gadget.string() + ": " + Reason(errno));
        }
    }
}

std::vector<std::string> ListControllers() {
    std::vector<std::string> names;
    for (const fs::path& controller : Children(kControllerDir)) {
        names.push_back(controller.filename().string());
    }
    std::sort(names.begin(), names.end(), ControllerBefore);
    return names;
}

std::vector<std::string> ControllersInUse() {
    std::vector<std::string> names;
    for (const fs::path& gadget : Children(kGadgetDir)) {
        const std::string udc = ReadFirstLine(gadget / "UDC");
        if (!udc.empty()) names.push_back(udc);
    }
    return names;
}

Gadget::~Gadget() {
    Unbind();
    files_.Close();
    undo_.RunAll();
}

bool Gadget::Create(const GadgetSettings& s, std::string& error) {
    dir_ = std::string(kGadgetDir) + "/" + s.name;
    const std::string function = "ffs." + s.name;
    const std::string english = "/strings/0x409";
    Maker make(undo_, error);
    const bool ok =
        make.Dir(dir_) && make.Write(dir_ + "/idVendor", Hex4(s.vendorId)) &&
        make.Write(dir_ + "/idProduct", Hex4(s.productId)) &&
        make.Write(dir_ + "/bcdDevice", Hex4(s.deviceRelease)) &&
        make.Write(dir_ + "/bcdUSB", Hex4(0x0200)) && make.Dir(dir_ + english) &&
        make.Write(dir_ + english + "/manufacturer", s.manufacturer) &&
        make.Write(dir_ + english + "/product", s.product) &&
        make.Write(dir_ + english + "/serialnumber", s.serial) &&
        make.Dir(dir_ + "/functions/" + function,
                 "FunctionFS is not available: modprobe usb_f_fs") &&
        make.Dir(dir_ + "/configs/c.1") && make.Dir(dir_ + "/configs/c.1" + english) &&
        make.Write(dir_ + "/configs/c.1" + english + "/configuration", "Mass storage") &&
        make.Link(dir_ + "/functions/" + function, dir_ + "/configs/c.1/" + function) &&
        make.Dir(s.mountDir) && make.MountFunctionFs(s.name, s.mountDir);
    if (ok && files_.Open(s.mountDir, s.product, error)) return true;
    files_.Close();
    undo_.RunAll();
    return false;
}

bool Gadget::Bind(const std::string& udc, std::string& error) {
    const std::lock_guard<std::mutex> lock(bindMutex_);
    if (bound_) return true;
    int code = 0;
    if (!WriteText(dir_ + "/UDC", udc, code)) {
        error = "cannot bind " + dir_ + " to " + udc + ": " + Reason(code) +
                (code == EBUSY ? " (another gadget holds the controller)" : "");
        return false;
    }
    bound_ = true;
    return true;
}

void Gadget::Unbind() {
    const std::lock_guard<std::mutex> lock(bindMutex_);
    if (!bound_) return;
    int ignored = 0;
    // Fails only when the function unbound itself already.
    WriteText(dir_ + "/UDC", "\n", ignored);
    bound_ = false;
}

}  // namespace v62x::usb
