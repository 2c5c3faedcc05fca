// Fuzz target: the V62X_SIMULATE value (up to the first NUL byte of the
// input). A value that parses is given to the host choice as the programs
// do it, the chosen host's devices are listed and the first one is checked;
// the image files are then saved and the choice is made once more, which
// reads them back. Whatever path an image= key names, its file is put in
// the scratch folder.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "Fwupdate/ChipCheck.h"
#include "Fwupdate/DeviceRefresh.h"
#include "FuzzSupport.h"
#include "IDEAccess/CommandSession.h"
#include "IDEAccess/Notifier.h"
#include "cli/HostChoice.h"
#include "VirtualBridge/SimulatedHost.h"
#include "VirtualBridge/SimulationDescription.h"

namespace v62x::fuzz {
namespace {

// Without blanks, in lower case.
std::string Lower(std::string text) {
    text.erase(std::remove_if(text.begin(), text.end(), [](unsigned char c) { return std::isspace(c) != 0; }),
               text.end());
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The value with every image= path replaced by a file in the scratch folder
// named after the letters and digits of the path.
std::string WithScratchImages(const std::string& value) {
    std::string out;
    std::size_t start = 0;
    while (start <= value.size()) {
        const std::size_t end = std::min(value.find_first_of(",;", start), value.size());
        std::string pair = value.substr(start, end - start);
        // The key stands before the first '=', behind the entry type's ':'.
        const std::size_t equals = pair.find('=');
        const std::size_t colon = equals == std::string::npos ? std::string::npos : pair.rfind(':', equals);
        const std::size_t keyStart = colon == std::string::npos ? 0 : colon + 1;
        if (equals != std::string::npos && Lower(pair.substr(keyStart, equals - keyStart)) == "image") {
            std::string name = "img-";
            for (char c : pair.substr(equals + 1)) {
                if (std::isalnum(static_cast<unsigned char>(c)) != 0 && name.size() < 20) name += c;
            }
            pair = pair.substr(0, equals + 1) + ScratchFile(name);
        }
        out += pair;
        if (end < value.size()) out += value[end];
        start = end + 1;
    }
    return out;
}

void CheckFirstDevice(Host& host) {
    CommandSession scoped(host);
    ToolState state;
    RecordingPanel panel;
    ChipCheckRequest check;
    check.listEnabled = !RefreshDevices(state.devices).empty;
    UpdateBtnCheck(state, check, panel);
}

}  // namespace
}  // namespace v62x::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace v62x;
    SetMessageNotifier([](const OperatorMessage&) {});
    std::string value(reinterpret_cast<const char*>(data), size);
    value = value.substr(0, value.find('\0'));
    std::vector<sim::DeviceConfig> configs;
    std::string error;
    if (!sim::ParseSimulationDescription(value, configs, error)) return 0;

    // Only values that name simulated devices with images in the scratch
    // folder go on: an empty value or "off" would choose the real host.
    value = fuzz::WithScratchImages(value);
    configs.clear();
    if (value.empty() || fuzz::Lower(value) == "off" || !sim::ParseSimulationDescription(value, configs, error)) {
        return 0;
    }
    const std::string scratch = fuzz::ScratchFile("img-");
    for (const sim::DeviceConfig& config : configs) {
        if (!config.image.empty() && (config.image.rfind(scratch, 0) != 0 || config.image.find("..") != std::string::npos)) {
            return 0;
        }
    }

    HostChoice choice = ChooseHost(value.c_str());
    if (choice.host) {
        fuzz::CheckFirstDevice(*choice.host);
        std::string why;
        auto* simulated = dynamic_cast<sim::SimulatedHost*>(choice.host.get());
        if (simulated != nullptr && simulated->SaveImages(why)) {
            HostChoice again = ChooseHost(value.c_str());
            if (again.host) fuzz::CheckFirstDevice(*again.host);
        }
    }
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(fuzz::ScratchFolder(), ignored)) {
        std::filesystem::remove(entry.path(), ignored);
    }
    return 0;
}
