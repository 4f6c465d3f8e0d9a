#include "cli/virtual_devices.h"

#include "virtual_device/settings.h"
#include "virtual_device/virtual_midi.h"

bool MakeVirtualDevices(const CliOptions& options, std::vector<std::unique_ptr<VirtualMidi>>& devices,
                        std::vector<DeviceSummary>& busy, std::string& error, bool& usage)
{
    usage = false;
    std::vector<std::string> texts = options.virtualDevices;
    if (texts.empty()) texts.emplace_back(options.virtualSettings);
    if (options.virtualCount > 0 && texts.size() > 1) {
        usage = true;
        error = "--virtual-devices: give the settings of its devices once (one --virtual-device)";
        return false;
    }
    std::vector<VirtualDeviceSettings> settings;
    for (const std::string& text : texts) {
        VirtualDeviceSettings parsed;
        if (!ParseVirtualDeviceSettings(text, parsed, error)) {
            usage = true;
            error = "--virtual-device: " + error;
            return false;
        }
        settings.push_back(parsed);
    }
    for (int k = 2; k <= options.virtualCount; ++k) {
        settings.push_back(settings.front());
        if (settings.back().flash == VirtualDeviceSettings::Flash::Path) {
            settings.back().flashPath += "." + std::to_string(k);   // one file per device
        }
    }
    for (std::size_t k = 0; k < settings.size(); ++k) {
        auto midi = std::make_unique<VirtualMidi>(settings[k]);
        if (settings.size() > 1 && k > 0) {
            midi->SetDeviceName(std::string(VirtualQ9::kDeviceName) + " (" + std::to_string(k + 1) + ")");
        }
        if (const std::string load = midi->Device().LoadError(); !load.empty()) {
            // Another device already uses the file: with --all that device is busy.
            if (options.all && load.find(" is in use ") != std::string::npos) {
                DeviceSummary skipped;
                skipped.name = midi->Name();
                skipped.result = "skipped";
                skipped.message = "busy: " + load;
                busy.push_back(skipped);
                continue;
            }
            error = "--virtual-device: virtual device: " + load;
            return false;
        }
        devices.push_back(std::move(midi));
    }
    return true;
}
