#include "resources/string_table.h"

#include <algorithm>
#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<std::uint32_t, const char*>, 56> kStrings = {{
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
    {IDS_CHECKING, "Checking Flash memory."},
    {IDS_READBACK_FAILED, "Can't read the flash back from the device to check what it holds."},
    {IDS_READ_REFUSED, "The device refused to read back 4096 bytes at once; it does not support reads that large."},
    {IDS_VERIFYING, "Verifying  %lld / %lld "},
    {IDS_VERIFIED, "Verify completed: the device holds the carried firmware."},
    {IDS_VERIFY_DIFFERS, "The device's flash differs from the carried firmware, first at 0x%06llX; blocks that differ: %lld."},
    {IDS_DEVICE_DISCONNECTED, "The device was disconnected. Nothing more will be written to it. "
                              "Run the update again once it is connected."},
    {IDS_NO_DEVICE, "No device."},
    {IDS_CONNECT_HINT, "Connect the ARKO Q9, then press Rescan Device."},
    {IDS_RUN_UPDATE_AGAIN, "The device needs the update run again."},
    {IDS_INCOMPLETE_FIELD, "(incomplete firmware)"},
    {IDS_STOP_QUESTION, "An update is running. Stop it now? "
                        "The device will need the update run again before it can be used."},
    {IDS_STOP_QUESTION_BOOT, "An update is running and is rewriting the device's boot region. Stop it now? "
                             "Stopping now may leave the device unable to start; "
                             "it will need the update run again before it can be used."},
    {IDS_STOP, "Stop"},
    {IDS_CONTINUE, "Continue"},
    {IDS_TOO_SLOW, "The device answers too slowly: a reply took %.1f s, and the updater waits at most %.1f s for one. "
                   "Nothing more will be written to it."},
    {IDS_SEND_TIMED_OUT, "The MIDI Out device did not finish sending a message in time: "
                         "the link to the device is too slow, or has stopped."},
    {IDS_LINK_LOSING, "The link to the device loses too many replies: %u of the last %u were lost. "
                      "Check the cable and any hub between the computer and the device. "
                      "Nothing more will be written to it."},
    {IDS_LINK_TOO_SLOW, "The link to the device is too slow: it carries %u bytes/s, and the rest of the update "
                        "would take about %.1f hours. Nothing more will be written to it."},
    {IDS_MIDI_STALLED, "The MIDI system stopped passing messages to the device for %g s. "
                       "Nothing more will be written to it."},
    {IDS_FIELD_NOT_READ, "(not read)"},
    {IDS_DEVICE_HELD, "The device is in use by another program."},
    {IDS_GUIDE_NO_ANSWER, "The device did not answer. Check that it is connected and switched on, "
                          "and that MIDI IN and MIDI OUT lead to it."},
    {IDS_GUIDE_UPDATE_MODE, "Put the device into its firmware update mode (see its manual), then press Execute again."},
    {IDS_GUIDE_OTHER_DEVICE, "The selected ports lead to another device. Pick the ARKO Q9's ports."},
    {IDS_GUIDE_HELD, "Close that program, or disconnect the device from it in its MIDI settings, then try again."},
    {IDS_GUIDE_DISCONNECTED, "Check the USB cable and the device's power, then press Rescan Device."},
    {IDS_GUIDE_CANT_OPEN, "Check that the device is connected and that no other program uses it, "
                          "then press Rescan Device and pick its ports."},
    {IDS_GUIDE_STOPPED_ANSWERING, "The device stopped answering. Check the cable and its power, "
                                  "then press Execute again."},
    {IDS_GUIDE_TRANSFER_ERROR, "The device did not accept the data. Press Execute again; if it fails again, "
                               "switch the device off and on in its firmware update mode first."},
    {IDS_GUIDE_LINK, "Connect the device directly to the computer (no hub), close other programs that use MIDI, "
                     "then press Execute again."},
    {IDS_GUIDE_STALLED, "Close other programs that use MIDI, reconnect the device, then press Execute again."},
    {IDS_GUIDE_READ_BACK, "Check the cable, then press Execute again."},
    {IDS_GUIDE_READ_VERSION, "Check that the device is connected and switched on, then try again."},
    {IDS_GUIDE_IMAGE_MISSING, "This copy of the updater is damaged. Install it again."},
    {IDS_GUIDE_BOOT_ROW, "Keep it powered and connected and run the update again now."},
    {IDS_RESCAN_AFTER_UPDATE, "Press Rescan Device once the device has restarted."},
    {IDS_NOW_ON_DEVICE, "On the device now: SYSTEM %s, PRESET %s, BOOT %s, SUBMCU %s."},
    {IDS_NO_PORT_NAMED, "No port is named \"%s\". Pick the device's ports in the lists."},
}};

}  // namespace

std::string LoadStringById(std::uint32_t id)
{
    for (const auto& [key, text] : kStrings) {
        if (key == id) return text;
    }
    return {};
}

std::vector<StringTableEntry> StringTableEntries()
{
    std::vector<StringTableEntry> entries;
    for (const auto& [key, text] : kStrings) entries.push_back({key, text});
    std::sort(entries.begin(), entries.end(),
              [](const StringTableEntry& a, const StringTableEntry& b) { return a.id < b.id; });
    return entries;
}
