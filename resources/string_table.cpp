#include "resources/string_table.h"

#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<std::uint32_t, const char*>, 18> kStrings = {{
    {IDS_ABOUTBOX, "About ARKO Q9 Updater(&A)..."},
    {IDS_TIMEOUT1, "Time out error(1)"},
    {IDS_TIMEOUT2, "Time out error(2)"},
    {IDS_TIMEOUT3, "Time out error(3)"},
    {IDS_ILLEGAL_DEVICE, "Illegal device connected."},
    {IDS_UPDATE_MODE, "Please use the firmware update mode."},
    {IDS_TRANSFER_ERROR, "Transfer error occurred."},
    {IDS_COMPLETED, "Version update completed."},
    {IDS_IN_PROGRESS, "In Progress."},
    {IDS_CANT_OPEN_IN, "Can't open MIDI In device."},
    {IDS_ERROR_CAPTION, "Error"},
    {IDS_CANT_OPEN_OUT, "Can't open MIDI Out device."},
    {IDS_ERASING, "Erasing Flash memory."},
    {IDS_DATA_TRANSMIT, "Data transmit  %d / %d "},
    {IDS_BOOT_READ_FAILED, "Can't read the boot version from the device. Nothing has been written."},
    {IDS_VERSION_READ_FAILED, "Can't read the version information from the device."},
    {IDS_IMAGE_MISSING, "A firmware image is missing from this updater. The update has stopped."},
    {IDS_DEVICE_DISCONNECTED, "The device was disconnected. Nothing more will be written to it. "
                              "Run the update again once it is connected."},
}};

}  // namespace

std::string LoadStringById(std::uint32_t id)
{
    for (const auto& [key, text] : kStrings) {
        if (key == id) return text;
    }
    return {};
}
